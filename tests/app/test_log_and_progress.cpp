// The log handler's line formats and the upload progress throttle.
#include <QProcess>
#include <QtTest>

#include <chrono>
#include <cstdlib>

#include "app/log_handler.h"
#include "app/upload_progress.h"
#include "tests/support/window.h"

using namespace std::chrono;

class LogAndProgressTest : public QObject {
    Q_OBJECT

private slots:
    void handler_formats_every_level_with_context_data();
    void handler_formats_every_level_with_context();
    void handler_copes_with_missing_context_and_unknown_types();
    void fatal_message_aborts_after_its_line();
    void debug_stream_reaches_handler_with_source_context();

    void bar_values();
    void throttle_posts_first_and_phase_changes();
    void throttle_between_posts();
};

void LogAndProgressTest::handler_formats_every_level_with_context_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    QTest::newRow("debug") << int(QtDebugMsg) << "Debug: hello (file.cpp:42, void f())\n";
    QTest::newRow("info") << int(QtInfoMsg) << "Info: hello (file.cpp:42, void f())\n";
    QTest::newRow("warning") << int(QtWarningMsg) << "Warning: hello (file.cpp:42, void f())\n";
    QTest::newRow("critical") << int(QtCriticalMsg) << "Critical: hello (file.cpp:42, void f())\n";
}

void LogAndProgressTest::handler_formats_every_level_with_context()
{
    QFETCH(int, type);
    QFETCH(QString, expected);
    const QMessageLogContext ctx("file.cpp", 42, "void f()", nullptr);
    support::QtStreamCapture err(2);
    customMessageHandler(static_cast<QtMsgType>(type), ctx, "hello");
    QCOMPARE(QString::fromStdString(err.text()), expected);
}

void LogAndProgressTest::handler_copes_with_missing_context_and_unknown_types()
{
    support::QtStreamCapture err(2);
    customMessageHandler(QtDebugMsg, QMessageLogContext(), "no context");
    customMessageHandler(QtWarningMsg, QMessageLogContext("a.cpp", 7, "g", nullptr), "");
    customMessageHandler(static_cast<QtMsgType>(99), QMessageLogContext("a.cpp", 7, "g", nullptr), "dropped");
    // Text the local encoding cannot hold is printed as the conversion renders it, unfiltered.
    customMessageHandler(QtDebugMsg, QMessageLogContext(), QString::fromUtf8("caf\xC3\xA9 \xE2\x80\x93"));
    const QString out = QString::fromStdString(err.text());
    QVERIFY(out.startsWith("Debug: no context (:0, )\nWarning:  (a.cpp:7, g)\nDebug: caf"));
    QVERIFY(!out.contains("dropped"));
}

void LogAndProgressTest::fatal_message_aborts_after_its_line()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("EFIS_TEST_FATAL_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QString err = QString::fromLocal8Bit(child.readAllStandardError());
    QVERIFY2(err.contains("Fatal: engine out (child.cpp:9, main)\n"), qPrintable(err));
    QVERIFY(!err.contains("after fatal"));
}

void LogAndProgressTest::debug_stream_reaches_handler_with_source_context()
{
    qInstallMessageHandler(customMessageHandler);
    support::QtStreamCapture err(2);
    const int line = __LINE__ + 1;
    qDebug() << "Warning: Failed to read value for index" << 7 << ", setting to 0";
    qInstallMessageHandler(nullptr);
    const QString out = QString::fromStdString(err.text());
    const QString expected = QString("Debug: Warning: Failed to read value for index 7 , setting to 0 (%1:%2, void "
                                     "LogAndProgressTest::debug_stream_reaches_handler_with_source_context())\n")
                                 .arg(__FILE__)
                                 .arg(line);
    QCOMPARE(out, expected);
}

void LogAndProgressTest::bar_values()
{
    ThrottledUploadProgressCtx ctx;
    QCOMPARE(ctx.compute_bar(3, 4, 0), 900u);
    QCOMPARE(ctx.compute_bar(4, 4, 0), 1200u);
    QCOMPARE(ctx.compute_bar(32768, 65536, 1), 5600u);
    QCOMPARE(ctx.compute_bar(65536, 65536, 1), 10000u);
    QCOMPARE(ctx.compute_bar(5, 0, 1), 0u);
    // Products are formed in 64 bits: a 4 GiB-scale count must not wrap.
    QCOMPARE(ctx.compute_bar(0xFFFFFFFFu, 0xFFFFFFFFu, 1), 10000u);
    QCOMPARE(ctx.compute_bar(0x80000000u, 0xFFFFFFFFu, 0), 600u);
}

void LogAndProgressTest::throttle_posts_first_and_phase_changes()
{
    ThrottledUploadProgressCtx ctx;
    const auto t0 = steady_clock::now();
    QVERIFY(ctx.should_emit_at(300, 0, 1, 4, t0)); // first report of a run
    QVERIFY(!ctx.should_emit_at(300, 0, 1, 4, t0 + 1ms));
    QVERIFY(ctx.should_emit_at(1200, 0, 4, 4, t0 + 2ms));      // last of its phase
    QVERIFY(ctx.should_emit_at(1201, 1, 64, 65536, t0 + 3ms)); // first upload report
    QCOMPARE(ctx.last_phase, 1);
    QCOMPARE(ctx.last_posted_bar, 1201u);
}

void LogAndProgressTest::throttle_between_posts()
{
    ThrottledUploadProgressCtx ctx;
    const auto t0 = steady_clock::now();
    QVERIFY(ctx.should_emit_at(2000, 1, 10, 100, t0));
    QVERIFY(!ctx.should_emit_at(2040, 1, 11, 100, t0 + 10ms)); // moved by 40: not enough
    QCOMPARE(ctx.last_posted_bar, 2000u);
    QVERIFY(ctx.should_emit_at(2041, 1, 12, 100, t0 + 10ms)); // moved by 41
    QVERIFY(!ctx.should_emit_at(2050, 1, 13, 100, t0 + 49ms));
    QVERIFY(ctx.should_emit_at(2050, 1, 13, 100, t0 + 50ms));  // 40 ms since the last post
    QVERIFY(ctx.should_emit_at(2051, 1, 100, 100, t0 + 51ms)); // last of phase, 1 ms later
    QVERIFY(ctx.should_emit(2051, 1, 100, 100));
}

int main(int argc, char** argv)
{
    if (std::getenv("EFIS_TEST_FATAL_CHILD") != nullptr) {
        customMessageHandler(QtFatalMsg, QMessageLogContext("child.cpp", 9, "main", nullptr), "engine out");
        fprintf(stderr, "after fatal\n");
        return 0;
    }
    QCoreApplication app(argc, argv);
    LogAndProgressTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_log_and_progress.moc"
