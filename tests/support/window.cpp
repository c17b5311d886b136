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

MessageBoxes::MessageBoxes(const QString& answer)
{
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(top);
            if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) {
                continue;
            }
            box->setProperty("answered", true);
            Seen s{box->windowTitle(), box->text(), {}, {}, {}};
            for (QAbstractButton* b : box->buttons()) {
                s.buttons << b->text();
            }
            s.defaultButton = box->defaultButton() != nullptr ? box->defaultButton()->text() : QString();
            s.escapeButton = box->escapeButton() != nullptr ? box->escapeButton()->text() : QString();
            seen.append(s);
            if (answer == "Escape") {
                QTest::keyClick(box, Qt::Key_Escape);
                continue;
            }
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == answer) {
                    b->click();
                }
            }
        }
    });
    timer_.start();
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
