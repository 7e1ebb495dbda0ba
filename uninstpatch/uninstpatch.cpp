// uninstpatch DIRECTORY
//
// Writes DIRECTORY into the placeholder of DIRECTORY\uninst.dll: the first run of a
// less-than sign and eight hyphens stored as 16-bit characters (only the low bytes are
// compared) is overwritten by the directory text, each byte widened to a 16-bit character,
// then a zero byte. The file keeps its length. The tool shows nothing and always exits 0.
#include <windows.h>

#include "hx_handle.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char file_suffix[] = "\\uninst.dll";
constexpr DWORD window_bytes = 17;  // "<--------" as UTF-16LE, less the last high byte

// Failures are silent by design: the installer that runs the tool has no one to tell.
void report(const char* /*message*/) {}

// The command line less the program name and the blanks after it, as the standard start-up
// of a GUI program hands it to WinMain.
const char* argument_text(const char* command_line)
{
    if (command_line == nullptr)
        return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(command_line);
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"') {
            if (IsDBCSLeadByte(*p) && p[1] != 0)
                ++p;
            ++p;
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p != 0 && *p <= ' ')
        ++p;
    return reinterpret_cast<const char*>(p);
}

// Opens the existing file, never creating or truncating it, and lets others read and write it
// meanwhile as OpenFile's compatibility mode does. OpenFile itself cannot be used: its record
// holds 128 bytes and refuses every longer name, where the name may have 259 characters.
hx_handle open_existing(const char* name, DWORD access)
{
    const HANDLE file = CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return hx_handle(file != INVALID_HANDLE_VALUE ? file : nullptr);
}

bool is_placeholder(const uint8_t* window)
{
    if (window[0] != '<')
        return false;
    for (DWORD k = 2; k < window_bytes; k += 2)
        if (window[k] != '-')
            return false;
    return true;
}

void patch(const char* text)
{
    if (text == nullptr) {
        report("No command line");
        return;
    }
    if (*text == 0) {
        report("Command line was empty");
        return;
    }
    const size_t n = std::strlen(text);
    char file_name[MAX_PATH];
    // A longer directory would overrun the name; nothing is opened or touched then.
    if (n + sizeof file_suffix > sizeof file_name) {
        report("Command line too long");
        return;
    }
    std::memcpy(file_name, text, n);
    std::memcpy(file_name + n, file_suffix, sizeof file_suffix);

    hx_handle file = open_existing(file_name, GENERIC_READ);
    if (!file) {
        report("Couldn't find the file");
        return;
    }
    DWORD size_high = 0;
    const DWORD size = GetFileSize(file.get(), &size_high);
    // Stays allocated and locked until the process ends.
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (block == nullptr) {
        report("Couldn't alloc the data");
        return;
    }
    uint8_t* const data = static_cast<uint8_t*>(GlobalLock(block));
    if (data == nullptr) {
        report("Couldn't lock the data");
        return;
    }
    DWORD read = 0;
    const bool filled = ReadFile(file.get(), data, size, &read, nullptr) && read == size;
    file.reset();
    // A block that was not filled from the file must never be written back over it.
    if (!filled) {
        report("Couldn't read the data");
        return;
    }

    DWORD at = 0;
    bool found = false;
    for (; size >= window_bytes && at + window_bytes <= size; ++at) {
        if (is_placeholder(data + at)) {
            found = true;
            break;
        }
    }
    if (!found) {
        report("Couldn't find the string");
        return;
    }
    // The text, widened, and its terminator must stay inside the data.
    if (2 * static_cast<uint64_t>(n) >= size - at) {
        report("Directory does not fit the data");
        return;
    }
    for (size_t k = 0; k < n; ++k)
        data[at + 2 * k] = static_cast<uint8_t>(text[k]);
    data[at + 2 * n] = 0;

    file = open_existing(file_name, GENERIC_WRITE);
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), data, size, &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The start-up's own command-line tail differs from the standard one in how it ends a
    // quoted program name and in bytes above 0x7F, so the tail is taken here.
    patch(argument_text(GetCommandLineA()));
    return 0;
}
