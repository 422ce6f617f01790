// How korvelctl prints the texts a unit reports (product name, build date and
// time, signature, serial number). A unit's texts are outside input: a control
// character in a serial number must not move the cursor, clear the screen or
// retitle the terminal, and JSON output must stay one valid object.
#ifndef KORVEL_TOOLS_UNITTEXT_H
#define KORVEL_TOOLS_UNITTEXT_H

#include <string>

// The text for a terminal or a plain-text file: well-formed UTF-8 of printable
// characters stays as it is, a backslash becomes "\\", and every other byte
// becomes "\xNN" (two lowercase hex digits): the C0 controls (0x00-0x1F), DEL
// (0x7F), both bytes of a C1 control (U+0080-U+009F, C2 80 to C2 9F) and each
// byte that is not part of well-formed UTF-8 (stray continuation bytes,
// overlong forms, surrogates, beyond U+10FFFF, cut sequences).
std::string unit_text_plain(const std::string& text);

// The text as a JSON string with its quotes (RFC 8259): '"' and '\' escaped,
// \b \f \n \r \t for those controls and \u00NN for the other C0 controls, DEL
// and C1 controls, and U+FFFD (as \ufffd) for each byte that is not part of
// well-formed UTF-8, as JSON text is UTF-8.
std::string unit_text_json(const std::string& text);

#endif
