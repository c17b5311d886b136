#include "tests/support/window.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

namespace support {

QtStreamCapture::~QtStreamCapture()
{
    hand_back_on_close(QTest::currentTestFailed());
}

void answerNextMessageBox(const QString& title, const QString& button)
{
    onNextDialog<QMessageBox>(
        [button](QMessageBox* box) {
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == button) {
                    b->click();
                    return;
                }
            }
        },
        title);
}

void chooseFileInNextDialog(const QString& path)
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

void cancelNextFileDialog()
{
    onNextDialog<QFileDialog>([](QFileDialog* d) { d->reject(); });
}

void chooseColorInNextDialog(const QColor& c)
{
    onNextDialog<QColorDialog>([c](QColorDialog* d) {
        d->setCurrentColor(c);
        static_cast<QDialog*>(d)->accept();
    });
}

void cancelNextColorDialog()
{
    onNextDialog<QColorDialog>([](QColorDialog* d) { d->reject(); });
}

QString status(MainWindow& w)
{
    return child<QStatusBar>(w, "statusbar")->currentMessage();
}

bool wait_idle(MainWindow& w)
{
    QElapsedTimer t;
    t.start();
    while (w.transferRunning() && t.elapsed() < 60000) {
        QTest::qWait(5);
    }
    QCoreApplication::processEvents();
    return !w.transferRunning();
}

std::unique_ptr<MainWindow> open_window()
{
    QtStreamCapture out(1);
    return std::make_unique<MainWindow>();
}

} // namespace support
