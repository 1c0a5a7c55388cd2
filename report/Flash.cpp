#include "report/Flash.h"

namespace Quorvel {

std::vector<std::wstring> SplitOnDots(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    std::wstring piece;
    for (std::wstring::size_type i = 0; i < text.size(); ++i) {
        if (text[i] == L'.') {
            pieces.push_back(piece);
            piece.clear();
        } else {
            piece += text[i];
        }
    }
    if (!text.empty() && text[text.size() - 1] != L'.') pieces.push_back(piece);
    return pieces;
}

uint64_t ParseDecimalPrefix(const std::wstring& text) {
    uint64_t value = 0;
    for (std::wstring::size_type i = 0; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
    }
    return value;
}

uint32_t ParseVersionPiece(const std::wstring& piece) {
    if (!piece.empty() && piece[0] == L'-') return static_cast<uint32_t>(0 - ParseDecimalPrefix(piece.substr(1)));
    return static_cast<uint32_t>(ParseDecimalPrefix(piece));
}

bool ParseVersionText(const std::wstring& text, uint32_t version[4]) {
    const std::vector<std::wstring> pieces = SplitOnDots(text);
    if (pieces.empty()) return false;
    for (size_t i = 0; i < pieces.size() && i < 4; ++i) version[i] = ParseVersionPiece(pieces[i]);
    return true;
}

}  // namespace Quorvel
