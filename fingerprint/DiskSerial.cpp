#include "fingerprint/DiskSerial.h"

#include <string.h>

namespace Quorvel {

bool DiskIdentifyList::AddIdentifyBlock(const unsigned char* block) {
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        if (memcmp(&(*m_blocks[i])[0], block, kIdentifyBlockSize) == 0) return false;
    }
    m_blocks.push_back(boost::shared_ptr<std::vector<unsigned char> >(
        new std::vector<unsigned char>(block, block + kIdentifyBlockSize)));
    return true;
}

std::string SerialFromIdentify(const unsigned char* block) {
    char text[21];
    for (int word = 10; word < 20; ++word) {
        text[2 * (word - 10)] = static_cast<char>(block[2 * word + 1]);
        text[2 * (word - 10) + 1] = static_cast<char>(block[2 * word]);
    }
    text[20] = 0;
    for (int i = 19; i > 0 && text[i] == ' '; --i) text[i] = 0;
    return std::string(text);  // up to the first zero byte
}

std::string ChooseSerial(const DiskIdentifyList& list) {
    for (size_t i = 0; i < list.Size(); ++i) {
        const unsigned char* block = list.Block(i);
        if ((block[0] & 0x40) == 0) continue;  // removable
        const std::string serial = SerialFromIdentify(block);
        if (!serial.empty()) return serial;
    }
    return std::string();
}

}  // namespace Quorvel
