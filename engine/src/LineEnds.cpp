#include "LineEnds.h"

namespace vbuzip {

const char* LineEnds::convert(const char* data, size_t size, size_t& outSize) {
    if (!m_decided) {
        m_decided = true;
        m_text = m_enabled && looksLikeText(data, size);
    }
    if (!m_text) {
        outSize = size;
        return data;
    }
    m_out.resize(2 * size);
    size_t o = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n') {
            if (m_afterCr) {
                m_afterCr = false; // the LF of a CR LF already written
                continue;
            }
            m_out[o++] = '\r';
            m_out[o++] = '\n';
        } else if (c == '\r') {
            m_out[o++] = '\r';
            m_out[o++] = '\n';
            m_afterCr = true;
            continue;
        } else {
            m_out[o++] = c;
        }
        m_afterCr = false;
    }
    outSize = o;
    return m_out.data();
}

bool LineEnds::looksLikeText(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1b && c != 0x1a)
            return false;
    }
    return true;
}

} // namespace vbuzip
