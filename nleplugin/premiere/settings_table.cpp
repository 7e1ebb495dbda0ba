#include "settings_table.h"

#include <iterator>

namespace {

const hx_preset qt_download[] = {
    {1, "Big movie (best for ISDN+ viewers)"},
    {2, "Medium-size movie"},
    {3, "Small movie (best for modem viewers)"},
    {5, "Alternates 28.8K, 56K, Dual ISDN"},
    {6, "Alternates 56K, Broadband/LAN"},
    {7, "Alternates 28.8K, 56K, Dual ISDN, Broadband/LAN"},
    {9, "Audio-only 28.8K (voice only)"},
    {10, "Audio-only 28.8K (music)"},
    {11, "Audio-only 56K"},
    {12, "Audio-only Dual ISDN"},
    {14, "Audio-only Alternates 28.8K, 56K (voice only)"},
    {15, "Audio-only Alternates 28.8K, 56K, Dual ISDN (music)"},
};
const hx_preset qt_streaming[] = {
    {1, "28.8K Modem"},
    {2, "56K/single ISDN"},
    {3, "Dual ISDN"},
    {4, "Broadband/LAN"},
    {6, "Alternates 28.8K, 56K, Dual ISDN"},
    {7, "Alternates 56K, Broadband/LAN"},
    {8, "Alternates 28.8K, 56K, Dual ISDN, Broadband/LAN"},
    {10, "Audio-only 28.8K (voice only)"},
    {11, "Audio-only 28.8K (music)"},
    {12, "Audio-only 56K"},
    {13, "Audio-only Dual ISDN"},
    {15, "Audio-only Alternates 28.8K, 56K (voice only)"},
    {16, "Audio-only Alternates 28.8K, 56K, Dual ISDN (music)"},
};
const hx_preset real_download[] = {
    {1, "Big movie (best for ISDN+ viewers)"},
    {2, "Medium-size movie"},
    {3, "Small movie (best for modem viewers)"},
    {5, "Audio-only 28.8K (voice only)"},
    {6, "Audio-only 28.8K (music)"},
    {7, "Audio-only 56K"},
    {8, "Audio-only Dual ISDN"},
};
const hx_preset real_streaming[] = {
    {1, "28.8K Modem"},
    {2, "56K/single ISDN"},
    {3, "Dual ISDN"},
    {4, "Broadband/LAN"},
    {6, "SureStream (voice)"},
    {7, "SureStream (music)"},
    {9, "Audio-only 28.8K (voice only)"},
    {10, "Audio-only 28.8K (music)"},
    {11, "Audio-only 56K"},
    {12, "Audio-only Dual ISDN"},
    {13, "Audio-only SureStream (voice)"},
    {14, "Audio-only SureStream (music)"},
};
const hx_preset wm_video[] = {
    {1, "28.8k modem"},
    {2, "28.8k modem (voice)"},
    {3, "56k modem"},
    {4, "56k modem (voice)"},
    {5, "Dual ISDN"},
    {6, "Broadband/LAN"},
    {8, "Intelligent Streaming (modems)"},
    {9, "Intelligent Streaming (broadband)"},
    {10, "Intelligent Streaming (wide range)"},
};
const hx_preset wm_audio[] = {
    {1, "6.5kbit voice"},  {2, "28.8k modem mono"}, {3, "28.8k modem stereo"}, {4, "28.8k modem voice"},
    {5, "56k modem mono"}, {6, "56k modem stereo"}, {7, "Dual-ISDN stereo"},   {8, "Broadband stereo"},
};
const hx_preset avi_cdrom[] = {
    {1, "2X CDROM, Cinepak"},
    {2, "4X CDROM, Cinepak"},
};
const hx_preset qt_cdrom[] = {
    {1, "2X CDROM, Cinepak"},
    {2, "4X CDROM, Cinepak"},
    {3, "CDROM, Sorenson"},
};
const hx_preset still_image[] = {
    {1, "JPEG image (high quality)"},
    {2, "JPEG image (smaller)"},
    {3, "PICT image"},
    {4, "BMP image"},
};
const hx_preset mpeg[] = {
    {1, "2X CDROM, NTSC 352x240"},
    {2, "2X CDROM, PAL 352x288"},
};
const hx_preset mp3[] = {
    {1, "28.8 Modem, mono"},
    {2, "High Quality, stereo"},
};

#define HX_CATEGORY(number, name, presets)                                                                   \
    {                                                                                                        \
        number, name, presets, static_cast<int32_t>(std::size(presets))                                      \
    }

}  // namespace

const hx_category hx_categories[] = {
    HX_CATEGORY(3, "QuickTime Progressive Download", qt_download),
    HX_CATEGORY(4, "QuickTime Streaming", qt_streaming),
    HX_CATEGORY(5, "RealG2 Web Download", real_download),
    HX_CATEGORY(6, "RealG2 Streaming", real_streaming),
    HX_CATEGORY(7, "Windows Media - Video", wm_video),
    HX_CATEGORY(8, "Windows Media - Audio", wm_audio),
    HX_CATEGORY(9, "AVI CD-ROM", avi_cdrom),
    HX_CATEGORY(10, "QuickTime CD-ROM", qt_cdrom),
    HX_CATEGORY(11, "Still Image", still_image),
    HX_CATEGORY(12, "MPEG", mpeg),
    HX_CATEGORY(13, "MP3", mp3),
};
const int32_t hx_category_count = static_cast<int32_t>(std::size(hx_categories));

bool hx_find_setting(int32_t category, int32_t preset, const char** category_name, const char** preset_name)
{
    if (category == hx_wizard_category) {
        *category_name = hx_wizard_name;
        *preset_name = hx_wizard_name;
        return true;
    }
    for (const hx_category& c : hx_categories) {
        if (c.number != category)
            continue;
        for (int32_t i = 0; i < c.preset_count; ++i) {
            if (c.presets[i].number == preset) {
                *category_name = c.name;
                *preset_name = c.presets[i].name;
                return true;
            }
        }
    }
    return false;
}
