// What the automation stand-in reports and how a test steers it. Both go through files named in
// the environment of the process that loads the stand-in, so that every test run has its own:
//
//   TESSORA_AUTOMATION_LOG      every call is appended to this file as one line of UTF-8 text
//                               (nothing is logged when it is not set)
//   TESSORA_AUTOMATION_CONTROL  read afresh at every call; one instruction a line:
//       ready N                 IsReady answers N (a decimal integer; 1 when not given)
//       ready keep              IsReady leaves the caller's integer as it was
//       fail METHOD CODE [TEXT] METHOD (a method name, or "create" for the class factory) returns
//                               CODE (hexadecimal, 0x...); with TEXT it attaches error
//                               information whose description is TEXT
//       pump METHOD MS          METHOD dispatches the caller's messages for MS milliseconds
//                               before it returns, as a call to a server in another process
//                               may; the object stays alive until the call returns
//       refuse ITessora         the object does not answer to ITessora
//       nosupport               ISupportErrorInfo denies error information for every interface
#pragma once

#include <windows.h>

#include <string>

namespace standin {

bool logging();
// Appends one line (a newline is added).
void log_line(const std::string& line);

// `text` of `length` characters as a quoted UTF-8 string with C escapes; "null" for no string.
std::string quoted(const wchar_t* text, size_t length);
std::string quoted(const wchar_t* text);
std::string guid_text(REFGUID guid);
// ITessora, IUnknown, ISupportErrorInfo, IClassFactory, or the identifier in braces.
std::string interface_name(REFIID iid);
std::string hex(unsigned long value);

struct planned_failure {
    bool fails = false;
    HRESULT code = S_OK;
    bool with_info = false;
    std::wstring description;
};

struct control_plan {
    bool write_ready = true;
    LONG ready = 1;
    bool refuse_tessora = false;
    bool deny_error_info = false;
    // The "fail" line for `method`, if there is one.
    planned_failure failure_of(const std::string& method) const;
    // Milliseconds of the "pump" line for `method`; 0 if there is none.
    DWORD pump_of(const std::string& method) const;

    std::string text;  // the control file as read
};

// The instructions as the control file has them now.
control_plan read_control();

}  // namespace standin
