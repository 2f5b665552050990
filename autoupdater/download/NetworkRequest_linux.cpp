#include "download/NetworkRequest_linux.h"

#include <algorithm>
#include <climits>

#include "Version.h"

QNetworkRequest makeReadRequest(const QUrl& url, const ReadRequestSettings& settings) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(settings.maxRedirects);
    request.setTransferTimeout(int(std::min<qint64>(settings.stallTimeout.count(), INT_MAX)));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArrayLiteral("vorn-updater/" VORN_UPDATER_VERSION));
    request.setRawHeader("Accept-Encoding", "identity");
    if (settings.forceUpdate) {
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
    }
    if (settings.rangeStart > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(settings.rangeStart) + '-');
        request.setRawHeader("If-Range", settings.validator);
    }
    return request;
}
