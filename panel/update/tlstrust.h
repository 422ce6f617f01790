// The TLS settings of every request the update service makes: the platform's
// trust store, and on Linux also the authorities named by the standard OpenSSL
// variables SSL_CERT_FILE (one PEM file) and SSL_CERT_DIR (folders of PEM
// files, separated by ':'), unless they lie in the system store's own
// folders. Certificate checking is never relaxed.
#ifndef PANEL_UPDATE_TLSTRUST_H
#define PANEL_UPDATE_TLSTRUST_H

#include <QSslConfiguration>

// The configuration for a request, read from the environment at each call.
QSslConfiguration updateSslConfiguration();

#endif
