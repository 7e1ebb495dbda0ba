// QuickTime for Windows types, records and constants used by the export component, the
// runtime stand-in and the QuickTime host stand-in.
//
// Every QuickTime routine and callback is cdecl on Windows. Records are native
// little-endian in memory; atoms and registration resources are big-endian (hx_big_endian.h).
//
//   MovieExportGetDataParams, 56 bytes
//   offset  field                 offset  field
//   0       recordSize (56)       28      desc (Handle)
//   4       trackID               32      descType
//   8       sourceTimeScale       36      descSeed
//   12      requestedTime         40      requestedSampleCount
//   16      actualTime            44      actualSampleCount
//   20      dataPtr               48      durationPerSample
//   24      dataSize              52      sampleFlags
#pragma once

#include <cstddef>
#include <cstdint>

typedef int16_t OSErr;
typedef uint32_t OSType;
typedef int32_t ComponentResult;
typedef int32_t Fixed;
typedef char* Ptr;
typedef Ptr* Handle;
typedef void* Movie;
typedef struct hx_component_record* Component;
typedef struct hx_component_instance_record* ComponentInstance;
typedef Handle QTAtomContainer;
typedef int32_t QTAtom;
typedef int32_t QTAtomType;
typedef int32_t QTAtomID;

// Four-character code, first character in the most significant byte.
constexpr OSType hx_fourcc(const char (&code)[5])
{
    return (OSType(uint8_t(code[0])) << 24) | (OSType(uint8_t(code[1])) << 16) |
           (OSType(uint8_t(code[2])) << 8) | OSType(uint8_t(code[3]));
}

// ---- Errors ---------------------------------------------------------------------------------
constexpr OSErr noErr = 0;
constexpr OSErr eofErr = -39;
constexpr OSErr fnfErr = -43;
constexpr OSErr ioErr = -36;
constexpr OSErr paramErr = -50;
constexpr OSErr memFullErr = -108;
constexpr OSErr userCanceledErr = -128;
constexpr OSErr nilHandleErr = -109;
constexpr OSErr cannotFindAtomErr = -2101;
constexpr OSErr invalidAtomErr = -2106;
constexpr OSErr invalidAtomContainerErr = -2107;
constexpr OSErr cannotBeLeafAtomErr = -2109;
constexpr OSErr qtmlUninitialized = -2095;
constexpr ComponentResult badComponentSelector = static_cast<ComponentResult>(0x80008002u);

// ---- Component selectors --------------------------------------------------------------------
constexpr int16_t kComponentOpenSelect = -1;
constexpr int16_t kComponentCloseSelect = -2;
constexpr int16_t kComponentCanDoSelect = -3;
constexpr int16_t kComponentVersionSelect = -4;
constexpr int16_t kComponentRegisterSelect = -5;
constexpr int16_t kComponentTargetSelect = -6;
constexpr int16_t kComponentUnregisterSelect = -7;
constexpr int16_t kMovieExportSetProgressProcSelect = 0x84;
constexpr int16_t kMovieExportFromProceduresToDataRefSelect = 0x89;
constexpr int16_t kMovieExportAddDataSourceSelect = 0x8A;
constexpr int16_t kMovieExportGetSettingsAsAtomContainerSelect = 0x8C;
constexpr int16_t kMovieExportSetSettingsFromAtomContainerSelect = 0x8D;
constexpr int16_t kMovieExportSetGetMoviePropertyProcSelect = 0x91;

// Registration constants.
constexpr uint32_t canMovieExportFromProcedures = 1u << 15;
constexpr uint32_t componentHasMultiplePlatforms = 8;
constexpr uint16_t platformWin32 = 4;

// Progress messages and operation.
constexpr int16_t movieProgressOpen = 0;
constexpr int16_t movieProgressUpdatePercent = 1;
constexpr int16_t movieProgressClose = 2;
constexpr int16_t progressOpExportMovie = 12;

// Handle state bits (HGetState / HSetState).
constexpr int8_t hx_handle_locked = static_cast<int8_t>(0x80);
constexpr int8_t hx_handle_purgeable = 0x40;
constexpr int8_t hx_handle_resource = 0x20;

constexpr QTAtom kParentAtomIsContainer = 0;

// ---- Records --------------------------------------------------------------------------------
#pragma pack(push, 2)
// The block a host's glue builds for one component call: parameters in the routine's order,
// first argument first, each in a 4-byte slot (a short takes a whole slot, low bits only).
struct ComponentParameters {
    uint8_t flags;      // always 0
    uint8_t paramSize;  // 4 x parameter count
    int16_t what;       // selector
    int32_t params[1];  // paramSize / 4 slots
};
#pragma pack(pop)
static_assert(offsetof(ComponentParameters, flags) == 0, "flags at 0");
static_assert(offsetof(ComponentParameters, paramSize) == 1, "paramSize at 1");
static_assert(offsetof(ComponentParameters, what) == 2, "what at 2");
static_assert(offsetof(ComponentParameters, params) == 4, "params at 4");

#pragma pack(push, 1)
struct MovieExportGetDataParams {
    int32_t recordSize;
    int32_t trackID;
    int32_t sourceTimeScale;
    int32_t requestedTime;
    int32_t actualTime;
    Ptr dataPtr;
    int32_t dataSize;
    Handle desc;
    OSType descType;
    int32_t descSeed;
    int32_t requestedSampleCount;
    int32_t actualSampleCount;
    int32_t durationPerSample;
    int32_t sampleFlags;
};

struct ImageDescription {
    int32_t idSize;
    OSType cType;
    int32_t resvd1;
    int16_t resvd2;
    int16_t dataRefIndex;
    int16_t version;
    int16_t revisionLevel;
    int32_t vendor;
    int32_t temporalQuality;
    int32_t spatialQuality;
    int16_t width;
    int16_t height;
    Fixed hRes;
    Fixed vRes;
    int32_t dataSize;
    int16_t frameCount;
    uint8_t name[32];
    int16_t depth;
    int16_t clutID;
};

struct SoundDescription {
    int32_t descSize;
    OSType dataFormat;
    int32_t resvd1;
    int16_t resvd2;
    int16_t dataRefIndex;
    int16_t version;
    int16_t revlevel;
    int32_t vendor;
    int16_t numChannels;
    int16_t sampleSize;
    int16_t compressionID;
    int16_t packetSize;
    uint32_t sampleRate;  // unsigned 16.16
};

struct TimeRecord {
    uint32_t value_lo;  // 64-bit value, low word first
    int32_t value_hi;
    int32_t scale;
    void* base;
};
#pragma pack(pop)

static_assert(sizeof(MovieExportGetDataParams) == 56, "get-data record is 56 bytes");
static_assert(offsetof(MovieExportGetDataParams, trackID) == 4, "");
static_assert(offsetof(MovieExportGetDataParams, sourceTimeScale) == 8, "");
static_assert(offsetof(MovieExportGetDataParams, requestedTime) == 12, "");
static_assert(offsetof(MovieExportGetDataParams, actualTime) == 16, "");
static_assert(offsetof(MovieExportGetDataParams, dataPtr) == 20, "");
static_assert(offsetof(MovieExportGetDataParams, dataSize) == 24, "");
static_assert(offsetof(MovieExportGetDataParams, desc) == 28, "");
static_assert(offsetof(MovieExportGetDataParams, descType) == 32, "");
static_assert(offsetof(MovieExportGetDataParams, descSeed) == 36, "");
static_assert(offsetof(MovieExportGetDataParams, requestedSampleCount) == 40, "");
static_assert(offsetof(MovieExportGetDataParams, actualSampleCount) == 44, "");
static_assert(offsetof(MovieExportGetDataParams, durationPerSample) == 48, "");
static_assert(offsetof(MovieExportGetDataParams, sampleFlags) == 52, "");

static_assert(sizeof(ImageDescription) == 86, "image description is 86 bytes");
static_assert(offsetof(ImageDescription, cType) == 4, "");
static_assert(offsetof(ImageDescription, dataRefIndex) == 14, "");
static_assert(offsetof(ImageDescription, version) == 16, "");
static_assert(offsetof(ImageDescription, revisionLevel) == 18, "");
static_assert(offsetof(ImageDescription, vendor) == 20, "");
static_assert(offsetof(ImageDescription, temporalQuality) == 24, "");
static_assert(offsetof(ImageDescription, spatialQuality) == 28, "");
static_assert(offsetof(ImageDescription, width) == 32, "");
static_assert(offsetof(ImageDescription, height) == 34, "");
static_assert(offsetof(ImageDescription, hRes) == 36, "");
static_assert(offsetof(ImageDescription, vRes) == 40, "");
static_assert(offsetof(ImageDescription, dataSize) == 44, "");
static_assert(offsetof(ImageDescription, frameCount) == 48, "");
static_assert(offsetof(ImageDescription, name) == 50, "");
static_assert(offsetof(ImageDescription, depth) == 82, "");
static_assert(offsetof(ImageDescription, clutID) == 84, "");

static_assert(sizeof(SoundDescription) == 36, "sound description (version 0) is 36 bytes");
static_assert(offsetof(SoundDescription, dataFormat) == 4, "");
static_assert(offsetof(SoundDescription, dataRefIndex) == 14, "");
static_assert(offsetof(SoundDescription, version) == 16, "");
static_assert(offsetof(SoundDescription, revlevel) == 18, "");
static_assert(offsetof(SoundDescription, vendor) == 20, "");
static_assert(offsetof(SoundDescription, numChannels) == 24, "");
static_assert(offsetof(SoundDescription, sampleSize) == 26, "");
static_assert(offsetof(SoundDescription, compressionID) == 28, "");
static_assert(offsetof(SoundDescription, packetSize) == 30, "");
static_assert(offsetof(SoundDescription, sampleRate) == 32, "");

static_assert(sizeof(TimeRecord) == 16, "time record is 16 bytes");
static_assert(offsetof(TimeRecord, scale) == 8, "");
static_assert(offsetof(TimeRecord, base) == 12, "");

// ---- Callbacks (cdecl; OSErr results are 16 bits in AX) -------------------------------------
extern "C" {
typedef ComponentResult(__cdecl* ComponentRoutine)(ComponentParameters* params, Handle storage);
typedef OSErr(__cdecl* MovieExportGetDataProc)(void* refCon, MovieExportGetDataParams* params);
typedef OSErr(__cdecl* MovieExportGetPropertyProc)(void* refCon, int32_t trackID, OSType property,
                                                   void* value);
typedef OSErr(__cdecl* MovieProgressProc)(Movie movie, int16_t message, int16_t operation, Fixed percentDone,
                                          int32_t refCon);
}

// The component description a host looks components up by.
struct ComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    uint32_t componentFlags;
    uint32_t componentFlagsMask;
};
static_assert(sizeof(ComponentDescription) == 20, "component description is 20 bytes");
