#include "prm_export.h"

int32_t do_export(prm_export_record*, prm_work_area*)
{
    return prm_export_abandoned;
}
