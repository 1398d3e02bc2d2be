// cpack -G DEB of the build tree: the package holds the programs, the
// libraries, the units, the bus and PolicyKit policy and the activation
// files, and declares what it needs from Debian.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "ship_support.h"
#include "temp_dir.h"

using namespace korvex::test;
namespace fs = std::filesystem;

TEST(DebianPackage, HoldsEverythingTheServicesNeed)
{
    TempDir out("korvex-cpack");
    run_checked(command({"cpack", "-G", "DEB", "-B", out.path(), "--config",
                                build_tree() + "/CPackConfig.cmake"}),
                std::chrono::minutes(10));
    std::string package;
    for (const auto &entry : fs::directory_iterator(out.path()))
        if (entry.path().extension() == ".deb")
            package = entry.path();
    ASSERT_FALSE(package.empty()) << "cpack made no .deb";

    // "drwxr-xr-x root/root 0 2024-01-01 00:00 ./usr/bin/korvexctl"
    std::set<std::string> files;
    for (const auto &line : split_lines(run_checked(command({"dpkg-deb", "-c", package})).out)) {
        const auto path = line.find(" ./");
        if (path != std::string::npos)
            files.insert(line.substr(path + 2));
    }
    for (const char *expected : {
             "/usr/bin/korvexctl",
             "/usr/sbin/broker-launcher",
             "/usr/libexec/korvex/sysconfig-dbus",
             "/usr/libexec/korvex/network-dbus",
             "/usr/lib/systemd/system/korvex-sysconfig.service",
             "/usr/lib/systemd/system/korvex-network.service",
             "/usr/lib/systemd/system/korvex-broker.service",
             "/usr/share/dbus-1/system.d/org.vaduderuvoziz.Sysconfig.conf",
             "/usr/share/dbus-1/system.d/org.vaduderuvoziz.Network.conf",
             "/usr/share/polkit-1/actions/org.vaduderuvoziz.Sysconfig.policy",
             "/usr/share/polkit-1/actions/org.vaduderuvoziz.Network.policy",
             "/usr/share/dbus-1/system-services/org.vaduderuvoziz.Sysconfig.service",
             "/usr/share/dbus-1/system-services/org.vaduderuvoziz.Network.service",
         })
        EXPECT_TRUE(files.count(expected)) << expected << " is not in the package";
    // The library folder follows the configured libdir (lib or lib/<triplet>).
    for (const std::string library : {"libkcommon.so", "libkservice.so", "libkcommon_dbus.so",
                                      "libksysconfig.so", "libknetwork.so", "libksigar.so"}) {
        bool packaged = false;
        for (const auto &file : files)
            packaged |= file.rfind("/usr/lib/", 0) == 0 && fs::path(file).filename() == library;
        EXPECT_TRUE(packaged) << library << " is not in the package";
    }

    // The activation files in the package name the packaged programs.
    TempDir unpacked("korvex-deb");
    run_checked(command({"dpkg-deb", "-x", package, unpacked.path()}));
    const std::string activation =
        read_file(unpacked.file("usr/share/dbus-1/system-services/org.vaduderuvoziz.Network.service"));
    EXPECT_NE(activation.find("Exec=/usr/libexec/korvex/network-dbus\n"), std::string::npos) << activation;

    const std::string depends =
        run_checked(command({"dpkg-deb", "-f", package, "Depends"})).out;
    for (const char *needed : {"dbus", "polkitd", "libglib2.0-0", "libdbus-glib-1-2",
                               "libpolkit-gobject-1-0", "libaugeas0", "libcurl4"})
        EXPECT_NE(depends.find(needed), std::string::npos) << needed << " missing in: " << depends;
}
