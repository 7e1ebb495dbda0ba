#include "encoder_start_watch.h"

#include "import_redirect.h"

encoder_start_watch* encoder_start_watch::current_ = nullptr;

encoder_start_watch::encoder_start_watch(HMODULE module) : module_(module)
{
    const watched_import watched[] = {
        {"ShellExecuteExA", reinterpret_cast<void**>(&real_), reinterpret_cast<void*>(record)}};
    current_ = this;
    redirect_imports(module_, "shell32.dll", watched, 1);
}

encoder_start_watch::~encoder_start_watch()
{
    if (real_ != nullptr) {
        shell_execute_ex_fn recorder = nullptr;
        const watched_import back[] = {
            {"ShellExecuteExA", reinterpret_cast<void**>(&recorder), reinterpret_cast<void*>(real_)}};
        redirect_imports(module_, "shell32.dll", back, 1);
    }
    if (current_ == this)
        current_ = nullptr;
    if (process_ != nullptr)
        CloseHandle(process_);
}

BOOL WINAPI encoder_start_watch::record(SHELLEXECUTEINFOA* info)
{
    encoder_start_watch* me = current_;
    const BOOL ok = me->real_(info);
    const DWORD error = GetLastError();
    try {
        me->asked_ = true;
        me->error_ = ok ? 0 : error;
        me->program_ = info->lpFile != nullptr ? info->lpFile : "";
        me->arguments_ = info->lpParameters != nullptr ? info->lpParameters : "";
        if (ok && info->hProcess != nullptr && me->process_ == nullptr &&
            DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &me->process_,
                            SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0))
            me->process_id_ = GetProcessId(me->process_);
    } catch (...) {
    }
    SetLastError(error);
    return ok;
}

bool encoder_start_watch::ended(DWORD* status) const
{
    if (process_ == nullptr || WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
        return false;
    if (!GetExitCodeProcess(process_, status))
        *status = 0;
    return true;
}
