// The device layer's log sink: a replaced sink takes the exact lines of a real exchange and
// standard output none of them, long lines arrive whole, a sink replaced while another thread logs
// is never called again, and the default sink prints to standard output again once restored.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "comms/device_log.h"
#include "link_fixture.h"

namespace {

using namespace linktest;

void append(const char* text, void* user)
{
    static_cast<std::string*>(user)->append(text);
}

class DeviceLog : public Link {
protected:
    void TearDown() override
    {
        set_device_log_sink(nullptr, nullptr);
        Link::TearDown();
    }
};

TEST_F(DeviceLog, ReplacedSinkTakesTheLinesUntilTheDefaultIsBack)
{
    sim::unplug_all(); // no unit: both transports fail
    char attempt[80];
    std::snprintf(attempt, sizeof attempt, "Attempting to connect to USB HID device 0x%04X:0x%04X\n", vendor_id,
                  product_id);
    const std::string expected = std::string(attempt) + "Failed to connect to USB HID device\n"
                                                        "Attempting to connect to CAN FD interface: can0\n"
                                                        "Failed to connect to CAN FD interface\n"
                                                        "Failed to connect via both USB HID and CAN FD\n";

    std::string taken;
    set_device_log_sink(append, &taken);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(comms.establish_connection());
    device_log_flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(taken, expected);

    // Longer than any stack buffer: still one whole piece.
    taken.clear();
    const std::string path(3000, 'p');
    device_log("send_fw: Failed to open file %s: %s\n", path.c_str(), "No such file or directory");
    EXPECT_EQ(taken, "send_fw: Failed to open file " + path + ": No such file or directory\n");

    set_device_log_sink(nullptr, &taken);
    taken.clear();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(comms.establish_connection());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(taken, "");
}

TEST_F(DeviceLog, SinkReplacedWhileAnotherThreadLogs)
{
    std::string first, second;
    set_device_log_sink(append, &first);
    std::atomic<bool> stop{false};
    std::atomic<int> logged{0};
    std::thread worker([&] {
        while (!stop) {
            device_log("line %d\n", logged.load());
            ++logged;
        }
    });
    while (logged < 200) {
        std::this_thread::yield();
    }
    set_device_log_sink(append, &second);
    const std::string first_then = first; // safe: `first` is no longer written
    const int switched_at = logged;
    while (logged < switched_at + 200) {
        std::this_thread::yield();
    }
    stop = true;
    worker.join();
    set_device_log_sink(nullptr, nullptr);

    EXPECT_EQ(first, first_then);
    EXPECT_FALSE(second.empty());
    // Every line went to exactly one sink, whole and in order.
    std::string all;
    for (int i = 0; i < logged; ++i) {
        all += "line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(first + second, all);
}

} // namespace
