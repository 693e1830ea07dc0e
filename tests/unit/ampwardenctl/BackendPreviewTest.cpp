#include <gtest/gtest.h>

#include "ampwardenctl/BackendPreview.h"
#include "fake/FakeHostTree.h"

namespace ampwarden::ctl {
namespace {

TEST(BackendPreview, TakesTheSettingFromTheEnvironmentThenTheFileAndNeverOpensThePorts) {
    EXPECT_EQ(SmcBackendChoice::settingInFile("# AMPWARDEN_SMC_BACKEND=port-io\n"
                                              "OTHER=1\n AMPWARDEN_SMC_BACKEND = \"emulator\"\n"
                                              "AMPWARDEN_SMC_BACKEND='kernel'\n"),
              "kernel");
    EXPECT_EQ(SmcBackendChoice::settingInFile("OTHER=kernel\n"), std::nullopt);

    test::FakeHostTree tree;
    tree.write("/defaults", "AMPWARDEN_SMC_BACKEND=port-io\n");
    EXPECT_EQ(BackendPreview::setting("kernel", tree.root() + "/defaults"), "kernel");
    EXPECT_EQ(BackendPreview::setting("", tree.root() + "/defaults"), "port-io");
    EXPECT_EQ(BackendPreview::setting(nullptr, tree.root() + "/missing"), "auto");
    tree.write("/defaults", "AMPWARDEN_SMC_BACKEND=\n");
    EXPECT_EQ(BackendPreview::setting(nullptr, tree.root() + "/defaults"), "auto");

    // The preview never opens the ports, and says when their probe decides.
    tree.write("/sys/class/dmi/id/sys_vendor", "Apple Inc.\n");
    tree.write("/proc/ioports", "0000-0cf7 : PCI Bus 0000:00\n  0300-031f : applesmc\n");
    tree.battery("BAT0", "80", "");  // the end threshold only: the ports back more
    auto setupFor = [&](const char* setting) {
        SmcBackendChoice::Setup setup;
        setup.setting = setting;
        setup.files = HostFiles(tree.root());
        setup.openPorts = [](std::string&) -> std::unique_ptr<PortIo> {
            ADD_FAILURE() << "a preview opened the ports";
            return nullptr;
        };
        return setup;
    };
    auto preview = BackendPreview::preview(setupFor("auto"));
    EXPECT_EQ(BackendPreview::text(preview),
              "port-io if its probe succeeds, else kernel (what this machine's "
              "AMPWARDEN_SMC_BACKEND=auto picks; see 'ampwarden-smc probe')");
    EXPECT_EQ(BackendPreview::json(preview),
              R"({"setting":"auto","picks":"port-io","portProbeNeeded":true,)"
              R"("ifProbeFails":"kernel"})");

    // A kernel that backs every key wins the tie.
    tree.battery("BAT0", "80", "[auto] inhibit-charge force-discharge");
    preview = BackendPreview::preview(setupFor("auto"));
    EXPECT_EQ(BackendPreview::text(preview),
              "kernel (what this machine's AMPWARDEN_SMC_BACKEND=auto picks)");
}

}  // namespace
}  // namespace ampwarden::ctl
