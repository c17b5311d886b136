// Helpers for driving the real window under Qt Test: its widgets and status text, the modal
// dialogs it opens, and stream capture that shows what was printed when a check fails.
#pragma once

#include <QApplication>
#include <QColor>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

#include "app/mainwindow.h"
#include "tests/support/stream_capture.h"
#include "tests/support/unit.h"

namespace support {

// A failing check reports on stdout while it may be captured: the captured text is handed back
// then, so the failure shows in the test log.
class QtStreamCapture : public StreamCapture {
public:
    using StreamCapture::StreamCapture;
    ~QtStreamCapture();
};

// Runs `act` on the next modal dialog of type D (with the given title, when one is given) that
// opens, polling until it is shown.
template <typename D, typename F> void onNextDialog(F act, const QString& title = QString())
{
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act, title]() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<D*>(w);
                d != nullptr && d->isVisible() && (title.isEmpty() || d->windowTitle() == title)) {
                timer->stop();
                timer->deleteLater();
                act(d);
                return;
            }
        }
    });
    timer->start();
}

// Clicks the button with the text `button` in the next message box titled `title`.
void answerNextMessageBox(const QString& title, const QString& button);

// Answers every message box that shows while it lives, by clicking the button with the text
// `answer` ("Escape" presses that key instead), and keeps what each box said. Unlike
// answerNextMessageBox it stops looking when it goes, and shows whether no box opened at all.
class MessageBoxes {
public:
    struct Seen {
        QString title;
        QString text;
        QStringList buttons;
        QString defaultButton;
        QString escapeButton;
    };

    explicit MessageBoxes(const QString& answer);

    QList<Seen> seen;

private:
    QTimer timer_;
};

void chooseFileInNextDialog(const QString& path);
void cancelNextFileDialog();
void chooseColorInNextDialog(const QColor& c);
void cancelNextColorDialog();

// A widget of the window by object name; a missing one ends the test run.
template <typename T> T* child(MainWindow& w, const char* name)
{
    T* c = w.findChild<T*>(name);
    if (c == nullptr) {
        qFatal("no widget %s", name);
    }
    return c;
}

QString status(MainWindow& w);

// Waits (events running) until no upload runs, at most a minute; false if one still does.
bool wait_idle(MainWindow& w);

// A window whose construction (connection attempt and first load) is done, its chatter unprinted.
std::unique_ptr<MainWindow> open_window();

} // namespace support
