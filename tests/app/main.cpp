// The window tests in one program: the application is made once, and every test class runs in it
// in turn; the program fails when any of them does.
#include "tests/app/app_tests.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    // Backups and the settings history go here, not into the home directory.
    const support::TempDir state;
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.path().string()));
    int failed = 0;
    for (QObject* (*make)() : app_tests::registry()) {
        const std::unique_ptr<QObject> test(make());
        failed += QTest::qExec(test.get(), argc, argv) != 0 ? 1 : 0;
    }
    return failed;
}
