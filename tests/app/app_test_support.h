// Helpers shared by the window tests: a virtual unit on the bus, capture of the standard streams,
// and answering the modal dialogs the window opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include <QStatusBar>

#include "app/mainwindow.h"
#include "comms/can_msg_ids.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"

namespace apptest {

// Redirects one standard stream (1 or 2) into a temporary file for the lifetime of the object.
class StreamCapture {
public:
    explicit StreamCapture(int fd) : fd_(fd)
    {
        fflush(fd == 1 ? stdout : stderr);
        file_ = tmpfile();
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    // A failing check reports on stdout while it may be captured: hand the captured text back
    // then, so the failure shows in the test log.
    ~StreamCapture()
    {
        const bool failed = QTest::currentTestFailed();
        const std::string captured = failed ? text() : std::string();
        restore();
        fclose(file_);
        if (failed) {
            fwrite(captured.data(), 1, captured.size(), fd_ == 1 ? stdout : stderr);
        }
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written so far; the stream stays captured.
    std::string text()
    {
        fflush(fd_ == 1 ? stdout : stderr);
        std::string out;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) {
            out.append(buf, n);
        }
        fseek(file_, 0, SEEK_END);
        return out;
    }

    void restore()
    {
        if (saved_ >= 0) {
            fflush(fd_ == 1 ? stdout : stderr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
    }

private:
    int fd_;
    int saved_ = -1;
    FILE* file_ = nullptr;
};

// Plugs a unit and empties the version cache, as a fresh program start would find it.
inline std::shared_ptr<sim::VirtualUnit> plug_unit(sim::UnitConfig config = {})
{
    sim::unplug_all();
    reset_whoami_fwversion_cache();
    auto unit = std::make_shared<sim::VirtualUnit>(config);
    sim::plug(unit);
    return unit;
}

inline std::shared_ptr<sim::VirtualUnit> plug_demo_unit()
{
    sim::unplug_all();
    reset_whoami_fwversion_cache();
    auto unit = sim::make_demo_unit();
    sim::plug(unit);
    return unit;
}

// Runs `act` on the next modal dialog of type D that opens (polling until it is shown).
template <typename D, typename F> void onNextDialog(F act)
{
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act]() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<D*>(w); d != nullptr && d->isVisible()) {
                timer->stop();
                timer->deleteLater();
                act(d);
                return;
            }
        }
    });
    timer->start();
}

inline void chooseFileInNextDialog(const QString& path)
{
    onNextDialog<QFileDialog>([path](QFileDialog* d) {
        // Typed into the name field: selectFile() depends on the directory model having loaded.
        if (auto* edit = d->findChild<QLineEdit*>("fileNameEdit"); edit != nullptr) {
            edit->setText(path);
        } else {
            d->selectFile(path);
        }
        static_cast<QDialog*>(d)->accept();
    });
}

inline void cancelNextFileDialog()
{
    onNextDialog<QFileDialog>([](QFileDialog* d) { d->reject(); });
}

inline void chooseColorInNextDialog(const QColor& c)
{
    onNextDialog<QColorDialog>([c](QColorDialog* d) {
        d->setCurrentColor(c);
        static_cast<QDialog*>(d)->accept();
    });
}

inline void cancelNextColorDialog()
{
    onNextDialog<QColorDialog>([](QColorDialog* d) { d->reject(); });
}

// A widget of the window by object name; a missing one ends the test run.
template <typename T> T* child(MainWindow& w, const char* name)
{
    T* c = w.findChild<T*>(name);
    if (c == nullptr) {
        qFatal("no widget %s", name);
    }
    return c;
}

inline QString status(MainWindow& w)
{
    return child<QStatusBar>(w, "statusbar")->currentMessage();
}

// A window whose construction (connection attempt and first load) is done, its chatter unprinted.
inline std::unique_ptr<MainWindow> open_window()
{
    StreamCapture out(1);
    return std::make_unique<MainWindow>();
}

} // namespace apptest
