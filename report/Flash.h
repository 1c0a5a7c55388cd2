#ifndef QV_REPORT_FLASH_H
#define QV_REPORT_FLASH_H

#include <stdint.h>
#include <string>
#include <vector>

namespace Quorvel {

// Every "." ends a piece; the piece under way is added at the end unless
// the text ends in a dot. Empty text: no pieces.
std::vector<std::wstring> SplitOnDots(const std::wstring& text);
// The leading ASCII digits as a number (wrapping); 0 without digits.
uint64_t ParseDecimalPrefix(const std::wstring& text);
// An optional "-", then the decimal prefix; the low 32 bits.
uint32_t ParseVersionPiece(const std::wstring& piece);
// Up to four pieces into version[0..3]; numbers without a piece stay as
// they were. False when there are no pieces.
bool ParseVersionText(const std::wstring& text, uint32_t version[4]);

}  // namespace Quorvel

#endif
