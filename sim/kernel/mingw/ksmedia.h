// mingw-w64 compile check: TCHAR, which mingw-w64's <ksmedia.h> uses without
// declaring it in kernel mode, and audio identifiers of the current WDK that
// mingw-w64's <ksmedia.h> does not declare yet.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR;
#endif
#include_next <ksmedia.h>
#ifndef KORVEL_MINGW_KSMEDIA_EXTRA
#define KORVEL_MINGW_KSMEDIA_EXTRA
extern "C" const GUID KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
extern "C" const GUID AUDIO_SIGNALPROCESSINGMODE_RAW;
extern "C" const GUID KSPROPSETID_Jack;
extern "C" const GUID KSPROPSETID_AudioSignalProcessing;
#define KSPROPERTY_AUDIO_POSITIONEX ((KSPROPERTY_AUDIO)50)
#define KSPROPERTY_AUDIOSIGNALPROCESSING_MODES 0
#define KSPROPERTY_JACK_DESCRIPTION 1
#define KSPROPERTY_JACK_DESCRIPTION2 2
#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
typedef struct _KSAUDIO_POSITIONEX {
  LARGE_INTEGER TimerFrequency;
  LARGE_INTEGER TimeStamp1;
  KSAUDIO_POSITION Position;
  LARGE_INTEGER TimeStamp2;
} KSAUDIO_POSITIONEX, *PKSAUDIO_POSITIONEX;
#endif
