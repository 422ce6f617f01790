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
#endif
