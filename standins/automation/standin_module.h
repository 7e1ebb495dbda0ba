// Module-wide state of the automation stand-in.
#pragma once

#include <windows.h>

namespace standin {

HMODULE module_handle();
// Objects alive and IClassFactory::LockServer locks both keep the library loaded.
void module_lock();
void module_unlock();
bool module_in_use();

// Records the calls by which the loading program creates the object (CLSIDFromProgID,
// CoCreateInstance, CoCreateInstanceEx with the server it names) in the log, from now on; see
// call_observer.cpp. Does nothing unless logging is on; once installed the library stays loaded.
void install_call_observer();
bool call_observer_installed();

}  // namespace standin
