// The markup of one page of the bubble view, built from the messages alone.
#pragma once

#include "messages/msgrecords.h"

#include <QString>

// The XHTML of page `page` (1-based) of `pageCount`, each page holding up to 50 messages of
// the list; "" when the page is out of range.
QString bubblePageHtml(const MsgMessageList &list, int page, int pageCount);
