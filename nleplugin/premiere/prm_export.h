// The export of selectors 8 and 11: from the host's export record to the encoder's last request.
#pragma once

#include "prm_host.h"

// 0 after the encoder's end request, 2 when the export was abandoned (also when the encoder
// went away in the middle, or the user stopped it in the progress window). While it serves the
// encoder it shows its progress window (export_progress.h).
int32_t do_export(prm_export_record* record, prm_work_area* work_area);
