// mingw-w64 compile check: TCHAR, which mingw-w64's <ksmedia.h> uses without
// declaring it in kernel mode, and audio identifiers of the current WDK that
// mingw-w64's <ksmedia.h> does not declare yet, each from the Windows version
// the WDK declares it for (NTDDI_VERSION, as the driver's build sets it).
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR;
#endif
#include_next <ksmedia.h>
#ifndef KORVEL_MINGW_KSMEDIA_EXTRA
#define KORVEL_MINGW_KSMEDIA_EXTRA
// Audio signal processing modes: Windows 8.1 and later ("Audio Signal
// Processing Modes"; KSPROPERTY_AUDIOSIGNALPROCESSING_MODES, Requirements).
#if NTDDI_VERSION >= NTDDI_WINBLUE
extern "C" const GUID KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
extern "C" const GUID AUDIO_SIGNALPROCESSINGMODE_RAW;
extern "C" const GUID KSPROPSETID_AudioSignalProcessing;
#define KSPROPERTY_AUDIOSIGNALPROCESSING_MODES 0
#endif
// Jack descriptions: Windows Vista; the second form: Windows 7.
extern "C" const GUID KSPROPSETID_Jack;
#define KSPROPERTY_JACK_DESCRIPTION 1
#if NTDDI_VERSION >= NTDDI_WIN7
#define KSPROPERTY_JACK_DESCRIPTION2 2
#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#endif
// KSPROPERTY_AUDIO_POSITIONEX: Windows Vista and later.
#define KSPROPERTY_AUDIO_POSITIONEX ((KSPROPERTY_AUDIO)50)
typedef struct _KSAUDIO_POSITIONEX {
  LARGE_INTEGER TimerFrequency;
  LARGE_INTEGER TimeStamp1;
  KSAUDIO_POSITION Position;
  LARGE_INTEGER TimeStamp2;
} KSAUDIO_POSITIONEX, *PKSAUDIO_POSITIONEX;
#endif
