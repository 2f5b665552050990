// The response head of a network reply as the judgement of heads reads it (Linux front-end, Qt):
// the status and the headers, as the server sent them. The judgement itself is portable
// (ResponseHead.h): an error status or an encoded body fails the try, so that no error page and
// no compressed stream can be taken for the file; a part is kept only when it is the rest of the
// bytes held.
#pragma once

#include <QNetworkReply>

#include "download/ResponseHead.h"

ResponseHead responseHeadOf(const QNetworkReply& reply);
