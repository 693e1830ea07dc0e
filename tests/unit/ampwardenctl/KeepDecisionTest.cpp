#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ampwardenctl/BatterySettings.h"
#include "ampwardenctl/KeepDecision.h"
#include "ampwardenctl/PowerMonitor.h"
#include "fake/FakeHostTree.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

using Commands = std::vector<std::string>;
using namespace names;

BatterySettings parsed(const std::string& text) {
    return std::get<BatterySettings>(parseSettingsFile(text));
}

std::string problemWith(const std::string& text) {
    return std::get<std::string>(parseSettingsFile(text));
}

TEST(PowerMonitorTest, KernelAttributesGiveTheLevelAndTheMainsOrSayUnknown) {
    test::FakeHostTree host;
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).level, std::nullopt);

    host.battery("BAT0", "", "");
    host.write("/sys/class/power_supply/BAT0/capacity", "57\n");
    host.write("/sys/class/power_supply/BAT0/status", "Discharging\n");
    PowerReading onBattery = PowerMonitor::readKernelAttributes(host.root());
    EXPECT_EQ(onBattery.level, 57);
    EXPECT_EQ(onBattery.mains, std::nullopt);  // no mains supply, and not charging

    host.write("/sys/class/power_supply/ADP1/type", "Mains\n");
    host.write("/sys/class/power_supply/ADP1/online", "0\n");
    host.write("/sys/class/power_supply/ucsi-source-psy-1/type", "USB\n");
    host.write("/sys/class/power_supply/ucsi-source-psy-1/online", "1\n");
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).mains, true);

    // A capacity the driver cannot tell is no level, not 0 %.
    host.write("/sys/class/power_supply/BAT0/capacity", "\n");
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).level, std::nullopt);
}

TEST(BatterySettingsTest, FileParsesAsAPersonWritesItAndRefusesNonsenseByLine) {
    EXPECT_EQ(parsed("# mine\n\n  limit = on # for the desk\nkeep=75 - 80#\r\n"),
              (BatterySettings{true, 75, 80, {}}));
    // The later of keep and discharge-to wins: only one level can be held.
    EXPECT_EQ(parsed("keep = 40-60\ndischarge-to = 50\n"), (BatterySettings{{}, {}, {}, 50}));

    EXPECT_EQ(problemWith("keep = 80-80"), "line 1: keep needs LOW below HIGH, not '80-80'");
    EXPECT_EQ(problemWith("\nkeep = 90-20"), "line 2: keep needs LOW below HIGH, not '90-20'");
    for (const char* bad : {"keep = 75-101", "keep = -5-80", "discharge-to = 0",
                            "discharge-to = 5x", "limit = yes", "colour = red", "limit on"}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(parseSettingsFile(bad))) << bad;
    }
}

// Only a regular file of a few KiB is read: nothing in its place can hang the app or fill its
// memory, and nothing is taken for "nothing set" except a missing file.
TEST(BatterySettingsTest, OnlyASmallRegularFileIsRead) {
    test::FakeHostTree home;
    const std::string file = home.root() + "/battery.conf";
    EXPECT_EQ(std::get<BatterySettings>(loadSettingsFile(file)), BatterySettings{});
    home.write("/battery.conf", "limit = on\n");
    EXPECT_EQ(std::get<BatterySettings>(loadSettingsFile(file)),
              (BatterySettings{true, {}, {}, {}}));
    home.write("/battery.conf", "# " + std::string(5000, 'x') + "\n");
    EXPECT_EQ(std::get<std::string>(loadSettingsFile(file)),
              file + ": larger than 4096 bytes; not a settings file");
    home.link("/battery.conf", "/dev/zero");
    EXPECT_EQ(std::get<std::string>(loadSettingsFile(file)), file + ": not a regular file");
    home.remove("/battery.conf");
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(std::get<std::string>(loadSettingsFile(file)), file + ": not a regular file");
    home.remove("/battery.conf");
    home.write("/battery.conf/x", "");
    EXPECT_EQ(std::get<std::string>(loadSettingsFile(file)),
              file + ": is a folder, not a settings file");
}

// A change rewrites only its own lines: the person's comments, order and other keys stay, and
// a file that would not parse afterwards is not written at all.
TEST(BatterySettingsTest, AChangeKeepsEverythingElseOfTheFileOrWritesNothing) {
    const std::string mine =
        "# mine\nlimit = on   # for the desk\nkeep = 75-80\nkeep = 70-80\nnotify = off\n";
    EXPECT_EQ(changeSettingsText(mine, {{"keep", "60-65"}}),
              "# mine\nlimit = on   # for the desk\nkeep = 60-65\nnotify = off\n");
    EXPECT_EQ(changeSettingsText(mine, {{"discharge-to", "50"}, {"limit", "off"}}),
              "# mine\nlimit = off   # for the desk\nnotify = off\ndischarge-to = 50\n");
    EXPECT_EQ(changeSettingsText("limit = on", {{"limit", std::nullopt}}), "");

    test::FakeHostTree home;
    const std::string file = home.root() + "/lumora/battery.conf";
    EXPECT_EQ(changeSettingsFile(file, {{"keep", "75-80"}}), "");  // folder and file made
    EXPECT_EQ(home.read("/lumora/battery.conf"), "keep = 75-80");
    // A link into a dotfiles folder stays a link, and the file its permissions.
    home.write("/dotfiles/battery.conf", "limit = on\n");
    ::chmod((home.root() + "/dotfiles/battery.conf").c_str(), 0600);
    home.remove("/lumora/battery.conf");
    home.link("/lumora/battery.conf", home.root() + "/dotfiles/battery.conf");
    EXPECT_EQ(changeSettingsFile(file, {{"limit", "off"}}), "");
    EXPECT_EQ(home.read("/dotfiles/battery.conf"), "limit = off");
    struct stat info {};
    ASSERT_EQ(::lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    home.write("/dotfiles/battery.conf", "limit = maybe\n");
    EXPECT_EQ(changeSettingsFile(file, {{"keep", "75-80"}}),
              file + ": line 1: limit takes 'on' or 'off', not 'maybe'");
    EXPECT_EQ(home.read("/dotfiles/battery.conf"), "limit = maybe");
}

TEST(KeepDecisionTest, AfterWakeOrRestartEverythingIsSentAgainAndWhatIsUnknownIsPlayedSafe) {
    // From an unknown hold everything is sent (the app's unit test follows that through);
    // within the range a re-send keeps what was held, and says it all again.
    BatterySettings settings = parsed("limit = on\nkeep = 75-80");
    EXPECT_EQ(decideHold({78, true}, settings, Hold::Stopped, true).commands,
              (Commands{kSetDisableDischarging, kSetDisableCharging, kSetEnableChargingLimitMax}));

    // Nothing set: nothing is sent, whatever happened.
    EXPECT_EQ(decideHold({50, true}, BatterySettings{}, Hold::Unknown).commands, Commands{});
    EXPECT_EQ(decideHold({50, true}, parsed("limit = off"), Hold::Unknown).commands,
              Commands{kSetDisableChargingLimitMax});

    // Sailing between the bounds and discharging to the target are the end-to-end battery app
    // tests'; unknown mains stops a discharge.
    BatterySettings target = parsed("discharge-to = 50");
    EXPECT_EQ(decideHold({60, std::nullopt}, target, Hold::Released).next, Hold::Stopped);
    EXPECT_EQ(decideHold({49, true}, target, Hold::Stopped).commands, Commands{kSetEnableCharging});

    // An unknown level gives charging back, whichever level is held, ending a discharge first;
    // resuming lifts the charge limit, so it is set again.
    EXPECT_EQ(decideHold({std::nullopt, true}, settings, Hold::Stopped).commands,
              (Commands{kSetEnableCharging, kSetEnableChargingLimitMax}));
    EXPECT_EQ(decideHold({std::nullopt, true}, target, Hold::Discharging).commands,
              (Commands{kSetDisableDischarging, kSetEnableCharging}));
}

}  // namespace
}  // namespace ampwarden::ctl
