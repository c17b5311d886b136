#include "app/log_handler.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "operations/operations.h"

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    const QByteArray localMsg = msg.toLocal8Bit();
    const char* file = context.file != nullptr ? context.file : "";
    const char* function = context.function != nullptr ? context.function : "";
    const unsigned line = static_cast<unsigned>(context.line);

    const char* kind = "Debug";
    switch (type) {
    case QtDebugMsg:
        break;
    case QtInfoMsg:
        kind = "Info";
        break;
    case QtWarningMsg:
        kind = "Warning";
        break;
    case QtCriticalMsg:
        kind = "Critical";
        break;
    case QtFatalMsg:
        kind = "Fatal";
        break;
    }
    // The line as standard error gets it, and the same in the program's log.
    const int n = std::snprintf(nullptr, 0, "%s: %s (%s:%u, %s)\n", kind, localMsg.constData(), file, line, function);
    QByteArray text(n > 0 ? n : 0, '\0');
    if (n > 0) {
        std::snprintf(text.data(), static_cast<size_t>(n) + 1, "%s: %s (%s:%u, %s)\n", kind, localMsg.constData(), file,
                      line, function);
    }
    fputs(text.constData(), stderr);
    fflush(stderr);
    operations::program_log(text.toStdString());
    if (type == QtFatalMsg) {
        abort();
    }
}
