// Where a network read keeps what it holds between its tries and for a later run: the partial
// file and its record, in the service's temporary folder.
#include <QFile>

#include "download/NetworkRead_linux.h"
#include "download/NetworkTempFolder_linux.h"

bool NetworkRead::prepare(const std::string& folder) {
    return prepareIn(folder, kPartialFilePattern, kPartialFileTemplate);
}

void NetworkRead::removeFile(const std::string& path) const {
    QFile::remove(QString::fromStdString(path));
}
