// The process-wide Qt message handler: one line per message on standard error, with source context.
#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
