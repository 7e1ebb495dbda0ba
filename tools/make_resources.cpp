// Writes the Premiere module's generated resources into the current folder:
//   pipl.bin           the "PIPL" property list, byte for byte
//   banner.bmp         the dialog's banner, 315 x 78 pixels at 24 bits
//   settings_menu.rc   the "PROPERTIES_MENU_EZ" menu, from the module's preset table
#include "settings_table.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

void put16(bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(bytes& out, uint32_t v)
{
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

// Four-character codes are stored as little-endian 32-bit integers in this resource.
void put_code(bytes& out, const char (&code)[5])
{
    put32(out, (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
                   (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3])));
}

void put_property(bytes& out, const char (&key)[5], const bytes& data)
{
    put_code(out, "8BIM");
    put_code(out, key);
    put32(out, 0);
    // The length counts the zero bytes that pad the data to a multiple of 4.
    const size_t padded = (data.size() + 3) & ~size_t(3);
    put32(out, static_cast<uint32_t>(padded));
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), padded - data.size(), 0);
}

bytes pascal_text(const char* text)
{
    bytes data;
    data.push_back(static_cast<uint8_t>(std::strlen(text)));
    data.insert(data.end(), text, text + std::strlen(text));
    return data;
}

bytes pipl()
{
    bytes out;
    put16(out, 1);
    put32(out, 0);
    put32(out, 6);
    bytes kind;
    put_code(kind, "CMPM");
    put_property(out, "kind", kind);
    put_property(out, "name", pascal_text("Save For Web"));
    put_property(out, "eMNA", pascal_text("HXTSPCompile"));
    put_property(out, "ePVR", {0x02, 0x00, 0x01, 0x00});
    put_property(out, "eSVR", {0x01, 0x00, 0x00, 0x00});
    put_property(out, "eVER", {0x00, 0x00, 0x30, 0x00});
    return out;
}

// A dusk-blue band with light diagonal stripes and a bright rule near the bottom.
bytes banner()
{
    constexpr int width = 315, height = 78;
    constexpr int stride = (width * 3 + 3) & ~3;
    bytes out;
    out.push_back('B');
    out.push_back('M');
    put32(out, 14 + 40 + stride * height);
    put32(out, 0);
    put32(out, 14 + 40);
    put32(out, 40);
    put32(out, width);
    put32(out, height);
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, stride * height);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (int row = 0; row < height; ++row) {  // bottom-up
        const int y = height - 1 - row;
        for (int x = 0; x < width; ++x) {
            int r = 20 + x * 60 / width, g = 40 + x * 90 / width, b = 110 + y * 100 / height;
            if ((x + y) % 24 < 3) {
                r += 40;
                g += 40;
                b += 30;
            }
            if (y >= 62 && y < 64) {
                r = 240;
                g = 200;
                b = 60;
            }
            out.push_back(static_cast<uint8_t>(b > 255 ? 255 : b));
            out.push_back(static_cast<uint8_t>(g > 255 ? 255 : g));
            out.push_back(static_cast<uint8_t>(r > 255 ? 255 : r));
        }
        for (int pad = width * 3; pad < stride; ++pad)
            out.push_back(0);
    }
    return out;
}

std::string menu()
{
    std::string rc = "// Generated from the module's preset table.\n"
                     "PROPERTIES_MENU_EZ MENU\nBEGIN\n    POPUP \"Process Window Menu\"\n    BEGIN\n";
    // windres reads code page 1252: the middle dot is byte 0xB7.
    rc += "        MENUITEM \"(Select a Setting here)" + std::string(36, ' ') + "\\xB7\", 152, GRAYED\n";
    rc += "        MENUITEM SEPARATOR\n";
    for (int32_t c = 0; c < hx_category_count; ++c) {
        const hx_category& category = hx_categories[c];
        rc += std::string("        POPUP \"") + category.name + "\"\n        BEGIN\n";
        for (int32_t p = 0; p < category.preset_count; ++p) {
            const hx_preset& preset = category.presets[p];
            if (p > 0 && preset.number != category.presets[p - 1].number + 1)
                rc += "            MENUITEM SEPARATOR\n";
            rc += std::string("            MENUITEM \"") + preset.name + "\", " +
                  std::to_string(hx_menu_id(category.number, preset.number)) + "\n";
        }
        rc += "        END\n";
    }
    rc += "        MENUITEM SEPARATOR\n";
    rc += std::string("        MENUITEM \"") + hx_wizard_name + "\", " + std::to_string(hx_wizard_id) + "\n";
    rc += "    END\nEND\n";
    return rc;
}

bool write(const char* name, const void* data, size_t size)
{
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main()
{
    const bytes p = pipl();
    const bytes b = banner();
    const std::string m = menu();
    if (p.size() != 154) {
        std::fprintf(stderr, "make_resources: the property list came out %u bytes\n", unsigned(p.size()));
        return 1;
    }
    if (!write("pipl.bin", p.data(), p.size()) || !write("banner.bmp", b.data(), b.size()) ||
        !write("settings_menu.rc", m.data(), m.size())) {
        std::fprintf(stderr, "make_resources: cannot write the resources\n");
        return 1;
    }
    return 0;
}
