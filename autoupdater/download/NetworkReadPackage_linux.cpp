// What the package check of a network read needs of the reply: the type the server declared.
#include "download/NetworkRead_linux.h"

// The type as the server wrote it: its bytes as Latin-1 characters.
std::string NetworkRead::contentType() const {
    return m_reply ? QString::fromLatin1(m_reply->rawHeader("Content-Type")).toStdString()
                   : std::string();
}
