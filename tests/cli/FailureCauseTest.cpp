#include "CliFixture.h"
#include "sim/DfuFileWriter.h"

namespace {

using FailureCause = CliTest;

QByteArray bytes(const std::vector<uint8_t>& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

// A failure on the DFU side names its cause in words on the line after the one that gives its
// code or step: the code's name, then what failed where, with the DFU state and status the
// device reported. The dfuse tables hold the other codes of device and file failures.
TEST_F(FailureCause, EveryDfuFailureNamesItsCauseAfterItsCode) {
    // The example firmware with one byte of its code changed after the CRC was taken.
    QByteArray damaged = bytes(sim::buildDfuFile(0x08000000, sim::makeExampleFirmware("2.0.0")));
    damaged[300] = char(damaged[300] ^ 0x01);
    const auto faulty = [](const char* kind, const QJsonObject& faults) {
        return CliTest::unitAt("1.4", {{"kind", kind}, {"bootloaderFaults", faults}});
    };
    const QString loader = "USB-BUS1-PORT1.4-IF0";
    const struct {
        const char* what;
        QJsonObject device;
        QStringList arguments;  // x.dfu holds `file`, firmware.dfu the example firmware
        QByteArray file;
        QString failure;  // the line before the cause
        QString cause;    // how the next line starts
    } cases[] = {
        {"erase error",
         faulty("unit", {{"eraseError", true}}),
         {"-d", "firmware.dfu"},
         {},
         "[!] Error during DFU operation 3: 1234001c",
         "[!] erase failed on the device: erasing " + loader +
             ": erase of sector at 0x08000000 failed: device reports dfuERROR / errERASE"},
        {"write error",
         faulty("unit", {{"writeError", true}}),
         {"-d", "firmware.dfu"},
         {},
         "[!] Error during DFU operation 4: 1234001d",
         "[!] write failed on the device: programming " + loader +
             ": write of 2048 bytes at 0x08000000 failed: device reports dfuERROR / errPROG"},
        {"read protection",
         faulty("unit", {{"readProtected", true}}),
         {"-d", "firmware.dfu"},
         {},
         "[!] Error during DFU operation 3: 12340020",
         "[!] the chip is read-protected: erasing " + loader +
             ": erase of sector at 0x08000000 failed: device reports dfuERROR / errVENDOR (read "
             "protection is active)\n[!] The chip's flash is read-protected: it can be neither "
             "read nor programmed until the protection is removed. Removing it (the DfuSe "
             "read-unprotect command, e.g. dfu-util -a 0 -s 0x08000000:unprotect:force) "
             "mass-erases the whole flash, firmware and saved settings, and restarts the chip in "
             "its boot loader; then run the update again.\n[!] erase operation failed.\n[!] "
             "Firmware update failed!\n[!] The unit on port path 1.4 is left in its boot loader "
             "with its firmware unchanged: its chip is read-protected"},
        {"unplugged while programming",
         faulty("unit", {{"unplugAtRequest", 40}}),
         {"-d", "firmware.dfu"},
         {},
         "[!] Error during DFU operation 4: 12340009",
         "[!] device disconnected: programming " + loader + ": write of 2048 bytes at 0x0800"},
        {"unplugged before resuming",
         faulty("bootloader", {{"unplugAtRequest", 1}}),
         {"--resume"},
         {},
         "[!] unable to get status!",
         "[!] device disconnected: " + loader + ": GETSTATUS: LIBUSB_ERROR_NO_DEVICE"},
        {"unplugged while leaving",
         faulty("bootloader", {{"unplugAtRequest", 8}}),
         {"--resume"},
         {},
         "[!] Error during DFU operation 1: 12340009",
         "[!] device disconnected: starting the firmware of " + loader +
             ": leaving DFU mode to start the firmware at 0x08000000: DNLOAD of block 0: "
             "LIBUSB_ERROR_NO_DEVICE"},
        // The unit may be on its way into its boot loader: its settings are saved first.
        {"unplugged while triggering",
         unitAt("1.4", {{"faults", QJsonObject{{"unplugAtTransfer", 24}}}}),
         {"--no-backup", "firmware.dfu"},
         {},
         "[!] Unable to trigger the boot loader: LIBUSB_ERROR_NO_DEVICE: No such device (it may "
         "have been disconnected)",
         "[!] The settings read before the update were saved to \"VIO 2.1_"},
        {"damaged data",
         unitAt("1.4"),
         {"-d", "x.dfu"},
         damaged,
         "[!] Error opening dfu file (x.dfu): 0x12340015",
         "[!] file CRC mismatch: reading x.dfu: the suffix CRC at offset 49457 is 0x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setDevices({c.device});
        write("x.dfu", c.file);
        firmware("2.0.0");
        const ToolRun run = this->run(c.arguments);
        EXPECT_EQ(run.exitCode, 1);
        const QString out = untimed(run).join('\n');
        EXPECT_TRUE(out.contains(c.failure + "\n" + c.cause)) << run.out.toStdString();
    }
}

}  // namespace
