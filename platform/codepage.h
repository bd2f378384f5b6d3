// The 8-bit code page of texts on the wire, and conversion between it and UTF-8.
//
// The code page is a process-wide setting (default "UTF-8", any iconv name such as "GBK" or
// "CP1252") and must match the server's. Characters the code page lacks become its substitute
// "?"; bytes that are not valid in the code page become "?" on the way back.
//
// Thread-safety: conversions may run on any thread; set the code page before threads use it.
#ifndef LARKSPIRE_PLATFORM_CODEPAGE_H_
#define LARKSPIRE_PLATFORM_CODEPAGE_H_

#include <string>

namespace larkspire {

// Raises Exception when iconv does not know the name.
void SetAnsiCodePage(const std::string& name);
std::string AnsiCodePage();

// UTF-8 text to code-page bytes.
std::string WideToAnsi(const std::string& utf8);
// Code-page bytes to UTF-8 text.
std::string AnsiToWide(const std::string& bytes);

// Conversion between any two iconv code pages with the substitute rule above.
std::string ConvertCodePage(const std::string& text, const std::string& from,
                            const std::string& to);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_CODEPAGE_H_
