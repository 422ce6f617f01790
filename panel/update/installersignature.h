// Whether a downloaded installer may be started: it must carry a valid
// Authenticode signature (WinVerifyTrust with the Software Publisher action,
// revocation checked for the whole chain) of the maker's publisher
// (kMakerPublisherName). On Linux the same calls reach the WinVerifyTrust
// stand-in of sim/win32.
#ifndef PANEL_UPDATE_INSTALLERSIGNATURE_H
#define PANEL_UPDATE_INSTALLERSIGNATURE_H

#include <QString>

struct InstallerSignature {
  bool trusted = false;
  // Why not, for the log: WinVerifyTrust's result, or the signer it found.
  QString reason;
};

// Checks the file at `path` (native or Qt separators). Blocks while the
// signature, the chain and revocation are checked: call it off the GUI
// thread.
InstallerSignature checkInstallerSignature(const QString& path);

#endif
