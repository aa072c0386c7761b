// Repository text as a terminal may show it.
//
// Folder and file names, and the names and values read from repository
// files, are whatever their writer made them. A terminal acts on the control
// characters among them: an escape sequence retitles the window or clears
// the screen, CR and LF break the line being shown. Text bound for a
// terminal therefore shows every C0 control (U+0000 to U+001F), DEL and C1
// control (U+0080 to U+009F) as an escape: \a \b \t \n \v \f \r, \e for ESC,
// and \xNN (two upper-case hex digits) for the rest; a byte of a path that
// is no part of valid UTF-8 is shown as \xNN too. Backslashes are not
// doubled (Windows paths are full of them), so escaped text contains no
// control character and escaping it again changes nothing.
#pragma once

#include <string>
#include <string_view>

namespace tallymere {

// Appends UTF-8 text (any bytes: paths need not be valid UTF-8) escaped.
void AppendEscaped(std::string& out, std::string_view text);
// Appends the UTF-8 form of UTF-16 text escaped; an unpaired surrogate
// becomes U+FFFD, as in AppendUtf8.
void AppendEscaped(std::string& out, std::u16string_view text);

std::string Escaped(std::string_view text);
std::string Escaped(std::u16string_view text);

}  // namespace tallymere
