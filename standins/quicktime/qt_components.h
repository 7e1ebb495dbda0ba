// The stand-in's Component Manager: components registered from component files (or in
// memory), their instances, and calls into them.
//
// A Component and a ComponentInstance are opaque numbers (ours), never reused while the
// runtime is loaded. Opening an instance loads the component's file and looks up its 'dlle'
// entry; the file stays loaded while any instance of it is open. Component code always runs
// without the runtime lock held.
#pragma once

#include "qt_runtime.h"

#include <string>

namespace hx_qt {
namespace components {

// HXQTRegisterComponentFile: 1, or 0 with the reason reported. A file registered before is
// not registered again (1).
long register_file(const char* path);
// HXQTComponentFile: the full path of the file `component` was registered from, "" for one
// registered in memory or none.
std::string file_of(uint32_t component);
// _CallComponent and _CallComponentFunctionWithStorage.
ComponentResult call(ComponentInstance instance, ComponentParameters* params);
ComponentResult call_with_storage(Handle storage, ComponentParameters* params, void* function);

// Routines under their selectors. These take the runtime lock themselves.
long CallComponent(const uint32_t* args);
long RegisterComponent(const uint32_t* args);
long CountComponents(const uint32_t* args);
long FindNextComponent(const uint32_t* args);
long GetComponentInfo(const uint32_t* args);
long OpenComponent(const uint32_t* args);
long CloseComponent(const uint32_t* args);
long GetComponentInstanceStorage(const uint32_t* args);
long SetComponentInstanceStorage(const uint32_t* args);
long RegisterComponentResource(const uint32_t* args);
long RegisterComponentResourceFile(const uint32_t* args);
long OpenDefaultComponent(const uint32_t* args);

}  // namespace components
}  // namespace hx_qt
