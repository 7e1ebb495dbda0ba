#include "kestrix_form.h"

#include "resource.h"

#include <cstdio>
#include <new>

namespace {

constexpr char form_class[] = "Kestrix";
constexpr char form_caption[] = "Tessora 5 Kestrix";
constexpr int twips_per_inch = 1440;

enum class control_kind { frame, button, text_box };

// One control of the form. Positions are in twips from the top left corner of the parent's
// client area: the form's, or the frame's for a control inside the frame.
struct control_entry {
    int id;
    const char* name;
    control_kind kind;
    const char* text;
    bool in_frame;
    int left, top, width, height;
};

// The controls in tab order. They are created in this order, which makes it both their
// Z order (LocationText and LaunchRemote lie over the frame's area, so they come before it)
// and the order in which the Tab key walks them.
constexpr control_entry layout[] = {
    {IDC_Setting, "Setting", control_kind::button, "Setting", false, 3720, 3600, 1095, 375},
    {IDC_SettingText, "SettingText", control_kind::text_box, "Text1", false, 120, 3600, 3495, 375},
    {IDC_XMLSettingText, "XMLSettingText", control_kind::text_box, "Text1", false, 120, 4080, 3495, 375},
    {IDC_XMLSetting, "XMLSetting", control_kind::button, "XMLSetting", false, 3720, 4080, 1095, 375},
    {IDC_AddText, "AddText", control_kind::text_box, "Text1", false, 120, 3120, 3495, 375},
    {IDC_Add, "Add", control_kind::button, "Add", false, 3720, 3120, 1095, 375},
    {IDC_DestinationText, "DestinationText", control_kind::text_box, "Text1", false, 120, 2640, 3495, 405},
    {IDC_Destination, "Destination", control_kind::button, "Destination", false, 3720, 2640, 1095, 375},
    {IDC_Clear, "Clear", control_kind::button, "Clear", false, 3720, 2160, 1095, 375},
    {IDC_SelectAll, "SelectAll", control_kind::button, "Select All", false, 3720, 1680, 1095, 375},
    {IDC_Start, "Start", control_kind::button, "Start", false, 1320, 1680, 1095, 375},
    {IDC_Suspend, "Suspend", control_kind::button, "Suspend", false, 1320, 2160, 1095, 375},
    {IDC_SettingAltsText, "SettingAltsText", control_kind::text_box, "Text1", false, 120, 4560, 3495, 375},
    {IDC_SettingAlts, "SettingAlts", control_kind::button, "SettingAlts", false, 3720, 4560, 1095, 375},
    {IDC_Ready, "Ready", control_kind::button, "Ready", false, 2520, 1680, 1095, 375},
    {IDC_ReadyText, "ReadyText", control_kind::text_box, "Text1", false, 2520, 2160, 1095, 375},
    {IDC_LocationText, "LocationText", control_kind::text_box, "Text1", false, 240, 480, 2895, 375},
    {IDC_LaunchRemote, "LaunchRemote", control_kind::button, "Remote Computer", false, 3240, 480, 1455, 375},
    {IDC_Frame1, "Frame1", control_kind::frame, "Start Tessora", false, 120, 120, 4695, 1335},
    {IDC_StartLocal, "StartLocal", control_kind::button, "This Computer", true, 3120, 840, 1455, 375},
    {IDC_ItemDestinationText, "ItemDestinationText", control_kind::text_box, "Text1", false, 120, 5040, 3495,
     375},
    {IDC_ItemDestination, "ItemDestination", control_kind::button, "Item Dest.", false, 3720, 5040, 1095,
     375},
    {IDC_ExitButton, "ExitButton", control_kind::button, "Exit", false, 120, 1680, 1095, 375},
};

constexpr int form_width_twips = 4950;
constexpr int form_height_twips = 5460;

const control_entry* find_entry(int id)
{
    for (const control_entry& entry : layout)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

std::string control_name(int id)
{
    const control_entry* entry = find_entry(id);
    return entry != nullptr ? entry->name : "control " + std::to_string(id);
}

// Pixels per inch of the display, across and down.
struct display_resolution {
    int x = 96;
    int y = 96;

    display_resolution()
    {
        screen_dc screen;
        if (screen.get() != nullptr) {
            x = GetDeviceCaps(screen.get(), LOGPIXELSX);
            y = GetDeviceCaps(screen.get(), LOGPIXELSY);
        }
    }
    int across(int twips) const { return MulDiv(twips, x, twips_per_inch); }
    int down(int twips) const { return MulDiv(twips, y, twips_per_inch); }
};

// Whether every button caption fits inside its button's edge in `font`.
bool captions_fit(HFONT font, const display_resolution& display)
{
    screen_dc screen;
    if (screen.get() == nullptr || font == nullptr)
        return true;
    const HGDIOBJ previous = SelectObject(screen.get(), font);
    bool fit = true;
    for (const control_entry& entry : layout) {
        SIZE extent{};
        if (entry.kind == control_kind::button &&
            GetTextExtentPoint32A(screen.get(), entry.text, lstrlenA(entry.text), &extent) &&
            extent.cx > display.across(entry.width) - 8)
            fit = false;
    }
    SelectObject(screen.get(), previous);
    return fit;
}

// The captions were sized for 8-point MS Sans Serif. Where a wider face stands in for it, the
// font is made smaller, a pixel at a time, until every caption fits its button.
HFONT caption_font(const display_resolution& display)
{
    LOGFONTA face{};
    face.lfHeight = -MulDiv(8, display.y, 72);
    face.lfWeight = FW_NORMAL;
    face.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(face.lfFaceName, "MS Sans Serif", LF_FACESIZE);
    const LONG smallest = -MulDiv(6, display.y, 72);
    for (;;) {
        const HFONT font = CreateFontIndirectA(&face);
        if (font == nullptr || face.lfHeight >= smallest || captions_fit(font, display))
            return font;
        DeleteObject(font);
        ++face.lfHeight;
    }
}

// The HRESULT of the Win32 call that just failed.
HRESULT last_error_result()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

std::string narrow(const wchar_t* text, int length)
{
    if (text == nullptr || length <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

// False if the text does not convert; an empty text gives an empty string.
bool widen(const std::string& text, std::wstring& out)
{
    out.clear();
    if (text.empty())
        return true;
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (size <= 0)
        return false;
    out.resize(static_cast<size_t>(size));
    return MultiByteToWideChar(CP_ACP, 0, text.data(), length, &out[0], size) == size;
}

// The system's text for a code, or a plain sentence when it has none.
std::string system_description(HRESULT code)
{
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    if (length == 0)
        return "No description is available for this error.";
    return std::string(text, length);
}

// Builds the failure for `code`. With an object, its error information is used only when it
// says (ISupportErrorInfo) that it supports error information for `iid`; without one (a failed
// creation) whatever error information the creation left on this thread is used.
kestrix_failure describe(HRESULT code, const std::string& action, IUnknown* object, REFIID iid)
{
    com_ptr<IErrorInfo> info;
    if (object != nullptr) {
        com_ptr<ISupportErrorInfo> support;
        if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) && support &&
            support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, info.put()) != S_OK)
            info.reset();
    } else if (GetErrorInfo(0, info.put()) != S_OK) {
        info.reset();
    }

    kestrix_failure failure{code, action, {}};
    bstr text;
    if (info && SUCCEEDED(info->GetDescription(text.put())) && text.get() != nullptr)
        failure.description = narrow(text.get(), static_cast<int>(SysStringLen(text.get())));
    if (failure.description.empty())
        failure.description = system_description(code);
    return failure;
}

kestrix_failure check(HRESULT code, const std::string& action, IUnknown* object, REFIID iid)
{
    if (SUCCEEDED(code))
        return {};
    return describe(code, action, object, iid);
}

kestrix_failure make_bstr(const std::string& text, bstr& out)
{
    std::wstring wide;
    if (!widen(text, wide))
        return describe(last_error_result(), "Converting the text to a string", nullptr, IID_NULL);
    out = bstr(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
    if (out.get() == nullptr)
        return describe(E_OUTOFMEMORY, "Allocating a string", nullptr, IID_NULL);
    return {};
}

}  // namespace

const Kestrix::click_handler Kestrix::click_handlers[] = {
    {IDC_StartLocal, false, &Kestrix::StartLocal_Click},
    {IDC_LaunchRemote, false, &Kestrix::LaunchRemote_Click},
    {IDC_Destination, true, &Kestrix::Destination_Click},
    {IDC_SettingAlts, true, &Kestrix::SettingAlts_Click},
    {IDC_SelectAll, true, &Kestrix::SelectAll_Click},
    {IDC_Start, true, &Kestrix::Start_Click},
    {IDC_Suspend, true, &Kestrix::Suspend_Click},
    {IDC_Setting, true, &Kestrix::Setting_Click},
    {IDC_XMLSetting, true, &Kestrix::XMLSetting_Click},
    {IDC_ItemDestination, true, &Kestrix::ItemDestination_Click},
    {IDC_Add, true, &Kestrix::Add_Click},
    {IDC_Clear, true, &Kestrix::Clear_Click},
    {IDC_Ready, true, &Kestrix::Ready_Click},
    {IDC_ExitButton, true, &Kestrix::ExitButton_Click},
};

Kestrix::~Kestrix()
{
    if (form_ != nullptr)
        DestroyWindow(form_);
}

bool Kestrix::create(HINSTANCE instance, int show)
{
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = form_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = form_class;
    if (RegisterClassExA(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;

    const display_resolution display;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame_rect{0, 0, display.across(form_width_twips), display.down(form_height_twips)};
    AdjustWindowRectEx(&frame_rect, style, FALSE, 0);
    if (CreateWindowExA(0, form_class, form_caption, style, CW_USEDEFAULT, CW_USEDEFAULT,
                        frame_rect.right - frame_rect.left, frame_rect.bottom - frame_rect.top, nullptr,
                        nullptr, instance, this) == nullptr)
        return false;
    if (!create_controls())
        return false;

    // The first control in tab order has the focus whenever the form is activated.
    focus_ = control(layout[0].id);
    ShowWindow(form_, show);
    UpdateWindow(form_);
    SetFocus(focus_);
    return true;
}

bool Kestrix::create_controls()
{
    const display_resolution display;
    font_.reset(caption_font(display));
    const HFONT font =
        font_.get() != nullptr ? font_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(form_, GWLP_HINSTANCE));
    for (const control_entry& entry : layout) {
        const char* window_class = entry.kind == control_kind::text_box ? "Edit" : "Button";
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD ex_style = 0;
        switch (entry.kind) {
        case control_kind::frame:
            // The frame holds StartLocal as its child: it takes part in tab navigation as a
            // container and passes its child's notifications on to the form.
            style |= BS_GROUPBOX | WS_CLIPCHILDREN;
            ex_style = WS_EX_CONTROLPARENT;
            break;
        case control_kind::button:
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case control_kind::text_box:
            style |= ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP;
            ex_style = WS_EX_CLIENTEDGE;
            break;
        }
        const HWND parent = entry.in_frame ? frame_ : form_;
        const HWND window = CreateWindowExA(
            ex_style, window_class, entry.text, style, display.across(entry.left), display.down(entry.top),
            display.across(entry.width), display.down(entry.height), parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)), instance, nullptr);
        if (window == nullptr)
            return false;
        SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (entry.kind == control_kind::frame) {
            frame_ = window;
            SetWindowLongPtrA(window, GWLP_USERDATA, GetWindowLongPtrA(window, GWLP_WNDPROC));
            SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(frame_proc));
        }
    }
    return true;
}

HWND Kestrix::control(int id) const
{
    const control_entry* entry = find_entry(id);
    if (entry == nullptr)
        return nullptr;
    return GetDlgItem(entry->in_frame ? frame_ : form_, id);
}

int Kestrix::run()
{
    MSG message;
    while (form_ != nullptr) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (form_ != nullptr && IsDialogMessageA(form_, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return exit_code_;
}

LRESULT CALLBACK Kestrix::form_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Kestrix*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
        form->form_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Kestrix*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (form == nullptr)
        return DefWindowProcA(window, message, wparam, lparam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        form->form_ = nullptr;
        form->frame_ = nullptr;
        return DefWindowProcA(window, message, wparam, lparam);
    }
    try {
        return form->handle(message, wparam, lparam);
    } catch (...) {
        // Nothing may unwind into the system's dispatcher; a failure here ends the program.
        form->exit_code_ = 1;
        form->ending_ = true;
        PostQuitMessage(1);
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

LRESULT CALLBACK Kestrix::frame_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        return SendMessageA(GetParent(window), message, wparam, lparam);
    case WM_ERASEBKGND: {
        // A group box paints only its edge and caption; its inside is the form's face.
        RECT inside{};
        GetClientRect(window, &inside);
        FillRect(reinterpret_cast<HDC>(wparam), &inside, GetSysColorBrush(COLOR_BTNFACE));
        return TRUE;
    }
    default:
        return CallWindowProcA(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_USERDATA)), window,
                               message, wparam, lparam);
    }
}

LRESULT Kestrix::handle(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED && lparam != 0)
            clicked(LOWORD(wparam));
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        // The frame's caption and the buttons sit on the form's face colour.
        SetTextColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_BTNTEXT));
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_ACTIVATE: {
        // The control that had the focus when the form was left gets it back when the form is
        // activated again; a control that already has it keeps it.
        const HWND focus = GetFocus();
        const bool inside = focus != nullptr && IsChild(form_, focus);
        if (inside)
            focus_ = focus;
        if (LOWORD(wparam) == WA_INACTIVE)
            break;
        if (!inside && focus_ != nullptr && IsWindow(focus_))
            SetFocus(focus_);
        return 0;
    }
    case WM_SETFOCUS:
        if (focus_ != nullptr && IsWindow(focus_)) {
            SetFocus(focus_);
            return 0;
        }
        break;
    case WM_CLOSE:
        // A call that pumps messages (to a server in another process) or a message box may
        // let a close in while a handler runs; the window, and with it the object, must outlive
        // the handler.
        if (in_handler_) {
            close_pending_ = true;
            return 0;
        }
        break;
    case WM_DESTROY:
        // Unloading the form releases the object it holds.
        object_.reset();
        PostQuitMessage(exit_code_);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(form_, message, wparam, lparam);
}

void Kestrix::clicked(int button)
{
    // One handler at a time: a click that arrives while a handler runs (a message box or a call
    // that pumps messages) or after a failure was shown is ignored.
    if (in_handler_ || ending_)
        return;
    const click_handler* handler = nullptr;
    for (const click_handler& candidate : click_handlers)
        if (candidate.button == button)
            handler = &candidate;
    if (handler == nullptr)
        return;

    in_handler_ = true;
    if (handler->needs_object && !object_) {
        MessageBoxA(form_,
                    "No Tessora object has been created yet.\n\n"
                    "Press \"This Computer\" or \"Remote Computer\" first.",
                    form_caption, MB_OK | MB_ICONEXCLAMATION);
    } else {
        kestrix_failure failure;
        try {
            failure = (this->*handler->handle)();
        } catch (const std::bad_alloc&) {
            failure = {E_OUTOFMEMORY, control_name(button), "Out of memory."};
        }
        if (failure.failed())
            end_with(failure);
    }
    in_handler_ = false;
    // A close that came while the handler ran is carried out now that nothing uses the object.
    if (close_pending_ && form_ != nullptr)
        DestroyWindow(form_);
}

// The program handles no failure itself: it shows it and ends.
void Kestrix::end_with(const kestrix_failure& failure)
{
    ending_ = true;
    exit_code_ = 1;
    char number[64];
    std::snprintf(number, sizeof number, "Error 0x%08lX (%ld)", static_cast<unsigned long>(failure.code),
                  static_cast<long>(failure.code));
    const std::string text = failure.action + " failed.\n\n" + number + "\n" + failure.description;
    MessageBoxA(form_, text.c_str(), form_caption, MB_OK | MB_ICONERROR);
    DestroyWindow(form_);
}

kestrix_failure Kestrix::read_text(int box, std::string& text) const
{
    const HWND window = control(box);
    SetLastError(ERROR_SUCCESS);
    const int length = GetWindowTextLengthA(window);
    if (length == 0 && GetLastError() != ERROR_SUCCESS)
        return describe(last_error_result(), "Reading the text of " + control_name(box), nullptr, IID_NULL);
    text.assign(static_cast<size_t>(length) + 1, '\0');
    SetLastError(ERROR_SUCCESS);
    const int copied = GetWindowTextA(window, &text[0], length + 1);
    if (copied == 0 && GetLastError() != ERROR_SUCCESS)
        return describe(last_error_result(), "Reading the text of " + control_name(box), nullptr, IID_NULL);
    text.resize(static_cast<size_t>(copied));
    return {};
}

kestrix_failure Kestrix::write_text(int box, const char* text)
{
    if (!SetWindowTextA(control(box), text))
        return describe(last_error_result(), "Writing the text of " + control_name(box), nullptr, IID_NULL);
    return {};
}

kestrix_failure Kestrix::call_with_text(int box, const char* method, string_method call)
{
    std::string text;
    kestrix_failure failure = read_text(box, text);
    if (failure.failed())
        return failure;
    bstr argument;
    failure = make_bstr(text, argument);
    if (failure.failed())
        return failure;
    return check(call(*object_.get(), argument.get()), method, object_.get(), IID_ITessora);
}

kestrix_failure Kestrix::StartLocal_Click()
{
    SetErrorInfo(0, nullptr);
    com_ptr<ITessora> created;
    const HRESULT result = CoCreateInstance(
        CLSID_Tessora, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_ITessora, created.put_void());
    if (FAILED(result))
        return describe(result, "Creating the Tessora object on this computer", nullptr, IID_NULL);
    object_ = std::move(created);
    return {};
}

kestrix_failure Kestrix::LaunchRemote_Click()
{
    std::string location;
    kestrix_failure failure = read_text(IDC_LocationText, location);
    if (failure.failed())
        return failure;
    std::wstring computer;
    if (!widen(location, computer))
        return describe(last_error_result(), "Converting the computer name", nullptr, IID_NULL);
    const std::string action =
        "Creating the Tessora object on " + (location.empty() ? std::string("this computer") : location);

    SetErrorInfo(0, nullptr);
    CLSID clsid{};
    HRESULT result = CLSIDFromProgID(tessora_progid, &clsid);
    if (FAILED(result))
        return describe(result, action, nullptr, IID_NULL);

    // An empty name means this computer: no server information at all.
    COSERVERINFO server{};
    server.pwszName = &computer[0];
    MULTI_QI query{&IID_IUnknown, nullptr, S_OK};
    result =
        CoCreateInstanceEx(clsid, nullptr, CLSCTX_SERVER, computer.empty() ? nullptr : &server, 1, &query);
    com_ptr<IUnknown> instance(query.pItf);
    if (SUCCEEDED(result) && FAILED(query.hr))
        result = query.hr;
    if (FAILED(result))
        return describe(result, action, nullptr, IID_NULL);
    if (!instance)
        return describe(E_POINTER, action, nullptr, IID_NULL);

    com_ptr<ITessora> tessora;
    result = instance->QueryInterface(IID_ITessora, tessora.put_void());
    if (FAILED(result) || !tessora)
        return describe(FAILED(result) ? result : E_NOINTERFACE, "Asking the new object for ITessora",
                        instance.get(), IID_ITessora);
    object_ = std::move(tessora);
    return {};
}

kestrix_failure Kestrix::Destination_Click()
{
    return call_with_text(IDC_DestinationText, "ITessora::SetDestination",
                          [](ITessora& object, BSTR text) { return object.SetDestination(text); });
}

kestrix_failure Kestrix::SettingAlts_Click()
{
    return call_with_text(IDC_SettingAltsText, "ITessora::SetSettingAlts",
                          [](ITessora& object, BSTR text) { return object.SetSettingAlts(text); });
}

kestrix_failure Kestrix::SelectAll_Click()
{
    return check(object_->SelectAllItems(), "ITessora::SelectAllItems", object_.get(), IID_ITessora);
}

// Start takes the destination from the same box as Destination; the count is always 1.
kestrix_failure Kestrix::Start_Click()
{
    return call_with_text(IDC_DestinationText, "ITessora::StartEncoding",
                          [](ITessora& object, BSTR text) { return object.StartEncoding(text, 1); });
}

kestrix_failure Kestrix::Suspend_Click()
{
    return check(object_->SuspendEncoding(), "ITessora::SuspendEncoding", object_.get(), IID_ITessora);
}

kestrix_failure Kestrix::Setting_Click()
{
    return call_with_text(IDC_SettingText, "ITessora::SetSetting",
                          [](ITessora& object, BSTR text) { return object.SetSetting(text); });
}

kestrix_failure Kestrix::XMLSetting_Click()
{
    return call_with_text(IDC_XMLSettingText, "ITessora::SetXMLSetting",
                          [](ITessora& object, BSTR text) { return object.SetXMLSetting(text); });
}

kestrix_failure Kestrix::ItemDestination_Click()
{
    return call_with_text(IDC_ItemDestinationText, "ITessora::SetItemDestination",
                          [](ITessora& object, BSTR text) { return object.SetItemDestination(text); });
}

kestrix_failure Kestrix::Add_Click()
{
    return call_with_text(IDC_AddText, "ITessora::AddItem",
                          [](ITessora& object, BSTR text) { return object.AddItem(text); });
}

kestrix_failure Kestrix::Clear_Click()
{
    return check(object_->ClearItems(), "ITessora::ClearItems", object_.get(), IID_ITessora);
}

kestrix_failure Kestrix::Ready_Click()
{
    LONG ready = 0;
    const kestrix_failure failure =
        check(object_->IsReady(&ready), "ITessora::IsReady", object_.get(), IID_ITessora);
    if (failure.failed())
        return failure;
    return write_text(IDC_ReadyText, ready != 0 ? "Ready" : "Busy");
}

// Asks the encoder to exit; the form stays open and keeps its reference.
kestrix_failure Kestrix::ExitButton_Click()
{
    return check(object_->ExitEncoder(), "ITessora::ExitEncoder", object_.get(), IID_ITessora);
}
