// What QuickTime does when it starts: it registers the component files in its components
// folders, so that hosts find components without naming their files.
#pragma once

namespace hx_qt {

// Registers every component file (*.qtx) of the components folders, once per process; later
// calls return at once. The folders, in this order:
//   1. "QTComponents" in the folder of the InstallDir value of
//      HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime (QuickTime 5 and later), when it is set;
//   2. "QuickTime" in the system folder (older versions). A 32-bit process on 64-bit Windows
//      reads the 32-bit registry view and gets SysWOW64 as its system folder, so these are the
//      folders a 32-bit QuickTime reads there.
// A folder that is missing is skipped; a file that is no component is reported like any refused
// file and skipped; a file registered before (also by HXQTRegisterComponentFile) is kept once.
void register_installed_components();

}  // namespace hx_qt
