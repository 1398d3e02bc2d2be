// `cmake --install` into a DESTDIR: files where the host looks, activation files and units naming
// the installed programs, which load the project's libraries from there without LD_LIBRARY_PATH.
#include <gmock/gmock.h>

#include <map>
#include <regex>

#include <sys/stat.h>

#include "ship_support.h"

using namespace korvex::test;
using testing::HasSubstr, testing::Not, testing::StartsWith;
namespace fs = std::filesystem;

const std::vector<std::string> kPrograms = {
    "usr/bin/korvexctl", "usr/sbin/broker-launcher", "usr/libexec/korvex/sysconfig-dbus",
    "usr/libexec/korvex/network-dbus", "usr/libexec/korvex/sysconfig-augeas-preview",
    "usr/libexec/korvex/sysconfig-preview-sandbox"};
const std::vector<std::string> kProjectLibraries = {"libkcommon.so",      "libkservice.so",
                                                    "libkcommon_dbus.so", "libksysconfig.so",
                                                    "libknetwork.so",     "libksigar.so"};

// "key=value" lines of a unit or activation file, by key (the last wins).
static std::map<std::string, std::string> ini_values(const std::string &path) {
    std::map<std::string, std::string> values;
    for (const auto &line : split_lines(read_file(path)))
        if (const auto equals = line.find('=');
            equals != std::string::npos && line[0] != '#' && line[0] != '[')
            values[line.substr(0, equals)] = line.substr(equals + 1);
    return values;
}

class InstalledTree : public ::testing::Test {
protected:
    void SetUp() override { install_tree("/usr", dest_.path()); }

    std::string under(const std::string &relative) const { return dest_.path() + "/" + relative; }

    std::string library_dir() const {
        for (const auto &entry : fs::recursive_directory_iterator(under("usr")))
            if (entry.path().filename() == "libkcommon.so")
                return entry.path().parent_path();
        return "";
    }

    TempDir dest_{"korvex-destdir"};
};

TEST_F(InstalledTree, PutsEveryFileWhereTheHostLooksForIt) {
    for (const auto &program : kPrograms) {
        struct stat st {};
        ASSERT_EQ(stat(under(program).c_str(), &st), 0) << program;
        EXPECT_TRUE(st.st_mode & S_IXOTH) << program << " is not executable";
    }
    const std::string libdir = library_dir();
    ASSERT_FALSE(libdir.empty());
    for (const auto &library : kProjectLibraries)
        EXPECT_TRUE(fs::exists(libdir + "/" + library)) << library;

    for (const std::string n : {"org.vaduderuvoziz.Sysconfig", "org.vaduderuvoziz.Network"}) {
        EXPECT_TRUE(fs::exists(under("usr/share/dbus-1/system.d/" + n + ".conf"))) << n;
        EXPECT_TRUE(fs::exists(under("usr/share/polkit-1/actions/" + n + ".policy"))) << n;
        EXPECT_TRUE(fs::exists(under("usr/share/dbus-1/system-services/" + n + ".service"))) << n;
    }
    for (const char *unit :
         {"korvex-sysconfig.service", "korvex-network.service", "korvex-broker.service"})
        EXPECT_TRUE(fs::exists(under("usr/lib/systemd/system/") + unit)) << unit;
}

TEST_F(InstalledTree, ActivationFilesAndUnitsNameTheInstalledAgents) {
    for (const auto &[bus_name, program] :
         std::map<std::string, std::string>{{"org.vaduderuvoziz.Sysconfig", "sysconfig-dbus"},
                                            {"org.vaduderuvoziz.Network", "network-dbus"}}) {
        auto activation =
            ini_values(under("usr/share/dbus-1/system-services/" + bus_name + ".service"));
        EXPECT_EQ(activation["Name"], bus_name);
        EXPECT_EQ(activation["User"], "root");
        // The bus starts the program by the path the activation file gives.
        EXPECT_EQ(activation["Exec"], "/usr/libexec/korvex/" + program);
        EXPECT_TRUE(fs::exists(dest_.path() + activation["Exec"])) << activation["Exec"];

        // Under systemd the bus hands activation to the unit it names.
        const std::string unit_path =
            under("usr/lib/systemd/system/" + activation["SystemdService"]);
        ASSERT_TRUE(fs::exists(unit_path)) << bus_name << " names a unit that is not installed";
        auto unit = ini_values(unit_path);
        EXPECT_EQ(unit["Type"], "dbus");
        EXPECT_EQ(unit["BusName"], bus_name);
        EXPECT_EQ(unit["ExecStart"], activation["Exec"]);
        // Temporary documents are written to the working directory.
        EXPECT_THAT(unit["WorkingDirectory"], StartsWith("/var/lib/korvex/"));
        EXPECT_THAT(unit["StateDirectory"],
                    HasSubstr(unit["WorkingDirectory"].substr(std::string("/var/lib/").size())))
            << "systemd would not create " << unit["WorkingDirectory"];
    }

    auto broker = ini_values(under("usr/lib/systemd/system/korvex-broker.service"));
    EXPECT_EQ(broker["EnvironmentFile"], "-/etc/default/korvex-broker");
    EXPECT_EQ(broker["ExecStart"].substr(0, broker["ExecStart"].find(' ')),
              "/usr/sbin/broker-launcher");
    const std::string broker_text =
        read_file(under("usr/lib/systemd/system/korvex-broker.service"));
    for (const char *variable :
         {"KORVEX_PORT", "FEDERATED_BROKERS", "TPX_G_SERVICE_PORT", "TPX_G_HOST_DIR"})
        EXPECT_THAT(broker_text, HasSubstr(variable)) << variable << " is not documented";
}

TEST_F(InstalledTree, ProgramsLoadTheProjectLibrariesFromTheInstallTree) {
    const std::string libdir = fs::canonical(library_dir());
    const std::regex resolved(R"(^\s*(\S+) => (.*) \(0x[0-9a-f]+\)$)");
    std::vector<std::string> objects = kPrograms;
    for (const auto &library : kProjectLibraries)
        objects.push_back(fs::relative(libdir + "/" + library, dest_.path()));

    for (const auto &object : objects) {
        ProcessOptions ldd = command({"ldd", under(object)});
        ldd.unset = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
        const auto listing = run_checked(ldd).out;
        EXPECT_THAT(listing, Not(HasSubstr("not found"))) << object << ":\n" << listing;
        std::map<std::string, std::string> where;
        std::smatch m;
        for (const auto &line : split_lines(listing))
            if (std::regex_match(line, m, resolved))
                where[m[1]] = m[2];
        for (const auto &library : kProjectLibraries)
            if (where.count(library)) {
                EXPECT_EQ(fs::canonical(where[library]).parent_path(), libdir)
                    << object << " loads " << library << " from " << where[library];
            }
    }

    // And they start: with no bus an agent ends with its own failure status, not the loader's.
    for (const char *agent :
         {"usr/libexec/korvex/sysconfig-dbus", "usr/libexec/korvex/network-dbus"}) {
        ProcessOptions run = command({under(agent)});
        run.unset = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
        run.env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dest_.path() + "/no-bus"};
        const auto result = run_command(run, std::chrono::seconds(30));
        EXPECT_EQ(result.exit_code(), 1) << agent << "\n" << result.err;
        EXPECT_THAT(result.err, Not(HasSubstr("error while loading shared libraries")));
    }
    ProcessOptions version = command({under("usr/bin/korvexctl"), "--version"});
    version.unset = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
    EXPECT_THAT(run_checked(version).out, StartsWith("korvexctl "));
}
