// User-mode stand-in for <ksmedia.h>: the audio data formats and ranges,
// category and node-type identifiers, and the audio property records.
// Source: the WDK's ksmedia.h for the names, values and layouts (e.g.
// "KSAUDIO_POSITION structure (ksmedia.h)", Microsoft Learn).
#ifndef KORVEL_SIM_KSMEDIA_H
#define KORVEL_SIM_KSMEDIA_H
#include <ks.h>
#include <mmreg.h>

DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b,
            0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b,
            0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6dba3190, 0x67bd, 0x11cf, 0xa0, 0xf7, 0x00, 0x20, 0xaf, 0xd1, 0x56,
            0xe4);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589f81, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00,
            0x55, 0x59, 0x5a);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_DAC, 0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_ADC, 0x4D837FE0, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_SPEAKER, 0xDFF21CE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_MICROPHONE, 0xDFF21BE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
// Audio signal processing modes: Windows 8.1 and later ("Audio Signal
// Processing Modes"; KSPROPERTY_AUDIOSIGNALPROCESSING_MODES, Requirements).
#if NTDDI_VERSION >= NTDDI_WINBLUE
DEFINE_GUID(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, 0xe1f89eb5, 0x5f46, 0x419b, 0x96, 0x7b, 0xff, 0x67,
            0x70, 0xb9, 0x84, 0x01);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_RAW, 0x9e90ea20, 0xb493, 0x4fd1, 0xa1, 0xa8, 0x7e, 0x13, 0x61, 0xa9,
            0x56, 0xcf);
#endif
DEFINE_GUID(KSPROPSETID_Audio, 0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00);

DEFINE_GUID(KSPROPSETID_Jack, 0x4509F757, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B);
#if NTDDI_VERSION >= NTDDI_WINBLUE
DEFINE_GUID(KSPROPSETID_AudioSignalProcessing, 0x4F67B528, 0x30C9, 0x40DE, 0xB2, 0xFB, 0x85, 0x9D, 0xDD, 0x1F,
            0x34, 0x70);
#endif

typedef enum {
  KSPROPERTY_AUDIO_LATENCY = 1,
  KSPROPERTY_AUDIO_POSITION = 5,
  KSPROPERTY_AUDIO_SAMPLING_RATE = 8,
  KSPROPERTY_AUDIO_POSITIONEX = 50,
} KSPROPERTY_AUDIO;

#if NTDDI_VERSION >= NTDDI_WINBLUE
typedef enum { KSPROPERTY_AUDIOSIGNALPROCESSING_MODES = 0 } KSPROPERTY_AUDIOSIGNALPROCESSING;
#endif

// The jack description: Windows Vista; its second form: Windows 7
// (KSPROPERTY_JACK_DESCRIPTION2, Requirements).
typedef enum {
  KSPROPERTY_JACK_DESCRIPTION = 1,
#if NTDDI_VERSION >= NTDDI_WIN7
  KSPROPERTY_JACK_DESCRIPTION2 = 2,
#endif
} KSPROPERTY_JACK;

typedef struct {
  ULONGLONG PlayOffset;
  ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;
static_assert(sizeof(KSAUDIO_POSITION) == 16, "KSAUDIO_POSITION layout");

typedef struct _KSAUDIO_POSITIONEX {
  LARGE_INTEGER TimerFrequency;
  LARGE_INTEGER TimeStamp1;
  KSAUDIO_POSITION Position;
  LARGE_INTEGER TimeStamp2;
} KSAUDIO_POSITIONEX, *PKSAUDIO_POSITIONEX;
static_assert(sizeof(KSAUDIO_POSITIONEX) == 40, "KSAUDIO_POSITIONEX layout");

typedef enum { eConnTypeUnknown = 0, eConnType3Point5mm = 1, eConnTypeQuarter = 2 } EPcxConnectionType;
typedef enum { eGeoLocRear = 1, eGeoLocFront = 2 } EPcxGeoLocation;
typedef enum { eGenLocPrimaryBox = 0, eGenLocInternal = 1 } EPcxGenLocation;
typedef enum { ePortConnJack = 0, ePortConnIntegratedDevice = 1 } EPxcPortConnection;

typedef struct {
  DWORD ChannelMapping;
  ULONG Color;
  EPcxConnectionType ConnectionType;
  EPcxGeoLocation GeoLocation;
  EPcxGenLocation GenLocation;
  EPxcPortConnection PortConnection;
  int IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;
static_assert(sizeof(KSJACK_DESCRIPTION) == 28, "KSJACK_DESCRIPTION layout");

#if NTDDI_VERSION >= NTDDI_WIN7
#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

typedef struct _tagKSJACK_DESCRIPTION2 {
  DWORD DeviceStateInfo;
  DWORD JackCapabilities;
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;
static_assert(sizeof(KSJACK_DESCRIPTION2) == 8, "KSJACK_DESCRIPTION2 layout");
#endif

typedef struct {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO layout");

typedef struct {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;

typedef struct {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE layout");

#endif
