// quenby.inf against what the code does: the service the panel's device
// library looks for, the interfaces the driver registers, the hardware IDs
// the units report, and the KMDF version the driver is built for. Windows
// installs by the INF alone, so any of these out of step means a unit
// without a driver, or a driver the panel never finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "process.h"
#include "quenby_device_properties.h"
#include "usb/composite.h"
#include "usb/device.h"
#include "usbdevs_win.h"

using korvel::sim::Model;
using korvel::sim::Unit;
using korvel::sim::devhost::DriverStack;
using korvel::testing::Child;
using korvel::testing::Sandbox;

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// An INF file as SetupAPI reads it: sections of lines, each an optional key
// before '=' and comma-separated values; ';' starts a comment outside
// quotes, '\' at the end of a line joins the next, %strkey% is replaced from
// [Strings] ("%%" is a percent sign), quotes are removed. Section names and
// keys compare without regard to case.
class Inf {
 public:
  struct Line {
    std::string key;
    std::vector<std::string> values;
  };

  explicit Inf(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> raw;  // section, line
    std::string section, pending;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      line = strip_comment(line);
      if (!line.empty() && line.back() == '\\') {
        pending += line.substr(0, line.size() - 1);
        continue;
      }
      line = trim(pending + line);
      pending.clear();
      if (line.empty()) continue;
      if (line.front() == '[' && line.back() == ']') {
        section = lower(trim(line.substr(1, line.size() - 2)));
        sections_[section];
        continue;
      }
      raw.emplace_back(section, line);
    }
    for (const auto& [sec, line] : raw)
      if (sec == "strings") {
        Line l = split(line, false);
        if (!l.values.empty()) strings_[lower(l.key)] = l.values[0];
      }
    for (const auto& [sec, line] : raw) sections_[sec].push_back(split(line, true));
  }

  bool has(const std::string& section) const { return sections_.count(lower(section)) != 0; }
  const std::vector<Line>& section(const std::string& name) const {
    static const std::vector<Line> none;
    auto it = sections_.find(lower(name));
    return it == sections_.end() ? none : it->second;
  }
  // The values of every line of `section` whose key is `key`.
  std::vector<std::vector<std::string>> all(const std::string& section, const std::string& key) const {
    std::vector<std::vector<std::string>> out;
    for (const Line& l : this->section(section))
      if (lower(l.key) == lower(key)) out.push_back(l.values);
    return out;
  }
  // The values of the one line of `section` with `key` (empty when none).
  std::vector<std::string> values(const std::string& section, const std::string& key) const {
    auto a = all(section, key);
    return a.empty() ? std::vector<std::string>{} : a.front();
  }
  std::string value(const std::string& section, const std::string& key) const {
    auto v = values(section, key);
    return v.empty() ? "" : v.front();
  }

 private:
  static std::string strip_comment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
  }

  std::string substitute(const std::string& s) const {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
      if (end == std::string::npos) {
        out += s[i];
        continue;
      }
      std::string key = s.substr(i + 1, end - i - 1);
      auto it = strings_.find(lower(key));
      if (key.empty()) {
        out += '%';
      } else if (it != strings_.end()) {
        out += it->second;
      } else {
        out += s.substr(i, end - i + 1);  // a directory ID such as %12%
      }
      i = end;
    }
    return out;
  }

  Line split(const std::string& line, bool subst) const {
    Line l;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false, has_key = false;
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
      } else if (c == '=' && !quoted && !has_key) {
        l.key = trim(field);
        field.clear();
        has_key = true;
      } else if (c == ',' && !quoted) {
        fields.push_back(trim(field));
        field.clear();
      } else {
        field += c;
      }
    }
    fields.push_back(trim(field));
    for (auto& f : fields) l.values.push_back(subst ? trim(substitute(f)) : f);
    if (subst) l.key = trim(substitute(l.key));
    return l;
  }

  std::map<std::string, std::vector<Line>> sections_;
  std::map<std::string, std::string> strings_;
};

const Model kModels[] = {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink};

uint64_t clock_us() {
  return korvel::sim::Clock::instance().now_ns() / 1000;
}

std::string guid_text(const std::vector<uint8_t>& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return buf;
}

class QuenbyInf : public ::testing::Test {
 protected:
  QuenbyInf() : inf_(read_text(KORVEL_QUENBY_INF)) {}

  // The x64 models sections, one for each Windows version they are decorated
  // with (NTamd64.6.1 ...), from the oldest.
  std::vector<std::string> models() const {
    std::vector<std::string> out;
    auto manufacturer = inf_.section("Manufacturer");
    if (manufacturer.empty() || manufacturer.front().values.empty()) return out;
    const auto& m = manufacturer.front().values;
    for (size_t i = 1; i < m.size(); ++i)
      if (m[i].rfind("NTamd64", 0) == 0) out.push_back(m[0] + "." + m[i]);
    std::sort(out.begin(), out.end());
    return out;
  }
  // The install section for x64 (DDInstall.NTamd64) of a models section;
  // without one, that of the newest Windows.
  std::string install(std::string section = "") const {
    if (section.empty() && !models().empty()) section = models().back();
    auto lines = inf_.section(section);
    if (lines.empty() || lines.front().values.empty()) return "";
    std::string ddinstall = lines.front().values[0];
    return inf_.has(ddinstall + ".NTamd64") ? ddinstall + ".NTamd64" : ddinstall;
  }
  // The install of Windows 7, the oldest Windows the package serves.
  std::string windows7_install() const { return models().empty() ? "" : install(models().front()); }
  // Every hardware ID of the x64 models sections, in upper case; each
  // Windows version's section lists the same.
  std::set<std::string> hardware_ids() const {
    std::set<std::string> ids;
    EXPECT_FALSE(models().empty()) << "no models for x64";
    for (const std::string& section : models()) {
      std::set<std::string> these;
      for (const auto& line : inf_.section(section)) {
        for (size_t i = 1; i < line.values.size(); ++i) {
          std::string id = line.values[i];
          for (char& c : id) c = char(std::toupper(static_cast<unsigned char>(c)));
          these.insert(id);
        }
      }
      if (!ids.empty()) {
        EXPECT_EQ(these, ids) << section << " lists other units";
      }
      ids = these;
    }
    return ids;
  }
  // The registry entries of an AddReg section: root, subkey, value name,
  // flags, value.
  std::vector<std::vector<std::string>> registry(const std::string& section) const {
    std::vector<std::vector<std::string>> out;
    for (const auto& l : inf_.section(section))
      if (l.key.empty() && l.values.size() >= 5) out.push_back(l.values);
    return out;
  }
  std::string service() const {
    auto add = inf_.values(install() + ".Services", "AddService");
    return add.empty() ? "" : add[0];
  }

  Inf inf_;
};

TEST_F(QuenbyInf, IsAMediaClassPackageWithEveryFileItNames) {
  EXPECT_EQ(inf_.value("Version", "Signature"), "$WINDOWS NT$");
  EXPECT_EQ(inf_.value("Version", "Class"), "MEDIA");
  EXPECT_EQ(lower(inf_.value("Version", "ClassGuid")), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  EXPECT_FALSE(inf_.value("Version", "Provider").empty());
  auto ver = inf_.values("Version", "DriverVer");
  ASSERT_EQ(ver.size(), 2u);
  EXPECT_TRUE(std::regex_match(ver[0], std::regex(R"(\d\d/\d\d/\d{4})"))) << ver[0];
  EXPECT_TRUE(std::regex_match(ver[1], std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << ver[1];
  EXPECT_TRUE(std::regex_match(inf_.value("Version", "CatalogFile"), std::regex(R"(\w+\.cat)")));

  // Every file a CopyFiles section names is on the source disk.
  std::set<std::string> on_disk;
  for (const auto& l : inf_.section("SourceDisksFiles")) on_disk.insert(lower(l.key));
  EXPECT_EQ(on_disk.count("quenby.sys"), 1u);
  std::vector<std::string> copy_sections;
  for (const std::string& s : {install(), windows7_install(), windows7_install() + ".CoInstallers"})
    for (const auto& v : inf_.values(s, "CopyFiles")) copy_sections.push_back(v);
  ASSERT_FALSE(copy_sections.empty());
  for (const auto& s : copy_sections) {
    ASSERT_TRUE(inf_.has(s)) << s;
    for (const auto& l : inf_.section(s)) EXPECT_EQ(on_disk.count(lower(l.values[0])), 1u) << l.values[0];
  }

  // Kernel streaming and WDM audio registration come with each install.
  for (const std::string& section : models()) {
    auto include = inf_.values(install(section), "Include");
    auto needs = inf_.values(install(section), "Needs");
    for (const char* f : {"ks.inf", "wdmaudio.inf"})
      EXPECT_NE(std::find(include.begin(), include.end(), f), include.end()) << section << ": " << f;
    for (const char* s : {"KS.Registration", "WDMAUDIO.Registration"})
      EXPECT_NE(std::find(needs.begin(), needs.end(), s), needs.end()) << section << ": " << s;
  }
}

TEST_F(QuenbyInf, TheHardwareSectionSetsTheSecurityTheDeviceHostApplies) {
  // The device objects' characteristics and descriptor come from the .HW
  // section's AddReg alone: the stand-in plugs the unit with the same.
  auto add = inf_.values(install() + ".HW", "AddReg");
  ASSERT_EQ(add.size(), 1u) << "[" << install() << ".HW] AddReg";
  std::string characteristics, security;
  for (const auto& l : registry(add[0])) {
    if (l[0] == "HKR" && l[1].empty() && lower(l[2]) == "devicecharacteristics" && l[3] == "0x10001")
      characteristics = l[4];
    if (l[0] == "HKR" && l[1].empty() && lower(l[2]) == "security" && l[3].empty()) security = l[4];
  }
  ASSERT_FALSE(characteristics.empty()) << "no DeviceCharacteristics DWORD";
  EXPECT_EQ(std::stoul(characteristics, nullptr, 0), korvel::devhost::kQuenbyDeviceCharacteristics);
  EXPECT_EQ(security, korvel::devhost::kQuenbyDeviceSecurity);
}

TEST_F(QuenbyInf, KmdfVersionIsTheDriverProjectsWithItsCoInstaller) {
  // The version the driver is built for here (the build sets it as the WDK
  // project does).
  std::smatch m;
  const std::string version = KORVEL_KMDF_VERSION;
  const std::string project = read_text(KORVEL_QUENBY_PROJECT);
  ASSERT_TRUE(std::regex_search(project, m, std::regex(R"(<KMDF_VERSION_MAJOR>(\d+)</KMDF_VERSION_MAJOR>)")));
  std::string project_version = m[1].str();
  ASSERT_TRUE(std::regex_search(project, m, std::regex(R"(<KMDF_VERSION_MINOR>(\d+)</KMDF_VERSION_MINOR>)")));
  project_version += "." + m[1].str();
  EXPECT_EQ(project_version, version);

  for (const std::string& section : models()) {
    auto wdf = inf_.values(install(section) + ".Wdf", "KmdfService");
    ASSERT_EQ(wdf.size(), 2u) << section;
    EXPECT_EQ(wdf[0], service()) << "the framework binds to the driver's own service";
    EXPECT_EQ(inf_.value(wdf[1], "KmdfLibraryVersion"), version);
  }

  // Windows 7's install brings the co-installer of that version
  // (WdfCoInstaller01011.dll for 1.11); scripts/windows_package.py checks
  // that only Windows 7's does.
  char name[64];
  std::snprintf(name, sizeof name, "WdfCoInstaller%02d%03d.dll", std::stoi(version),
                std::stoi(version.substr(version.find('.') + 1)));
  auto reg = registry(inf_.value(windows7_install() + ".CoInstallers", "AddReg"));
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0][0], "HKR");
  EXPECT_EQ(reg[0][2], "CoInstallers32");
  EXPECT_EQ(reg[0][3], "0x00010000") << "a multi-string value";
  EXPECT_EQ(reg[0][4], std::string(name) + ",WdfCoInstaller");
  auto files = inf_.section(inf_.value(windows7_install() + ".CoInstallers", "CopyFiles"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].values[0], name);
}

// The WDK project builds the driver from its own file list: a source added
// to the driver folder but not to the project links here and fails to link
// (or, worse, links an older object) on Windows.
TEST(QuenbyProject, CompilesEveryDriverSourceAndNothingElse) {
  const std::string project = read_text(KORVEL_QUENBY_PROJECT);
  std::set<std::string> listed;
  const std::regex item(R"(<ClCompile Include="([^"]+)\s*"\s*/>)");
  for (auto it = std::sregex_iterator(project.begin(), project.end(), item); it != std::sregex_iterator();
       ++it)
    listed.insert((*it)[1].str());
  std::set<std::string> sources;
  const std::filesystem::path folder = std::filesystem::path(KORVEL_QUENBY_PROJECT).parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file() && entry.path().extension() == ".cpp")
      sources.insert(entry.path().filename().string());
  ASSERT_FALSE(sources.empty());
  EXPECT_EQ(listed, sources);
}

// For each unit: the interfaces quenby registers on it are the ones the INF
// installs (the same reference string, the same categories, each with the
// kernel-streaming proxy and a name), and the unit's USB identity is one of
// the INF's hardware IDs.
TEST_F(QuenbyInf, NamesTheInterfacesQuenbyRegistersAndTheUnitsHardwareIds) {
  std::map<std::string, std::set<std::string>> inf_interfaces;  // reference -> categories
  std::map<std::string, std::set<std::string>> windows7_interfaces;
  for (const auto& v : inf_.all(windows7_install() + ".Interfaces", "AddInterface"))
    if (v.size() >= 2) windows7_interfaces[v[1]].insert(v[0]);
  for (const auto& v : inf_.all(install() + ".Interfaces", "AddInterface")) {
    ASSERT_GE(v.size(), 3u);
    inf_interfaces[v[1]].insert(v[0]);
    std::map<std::string, std::string> values;
    for (const auto& r : registry(inf_.value(v[2], "AddReg")))
      if (r[0] == "HKR" && r[1].empty()) values[r[2]] = r[4];
    EXPECT_EQ(values["CLSID"], "{17CCA71B-ECD7-11D0-B908-00A0C9223196}") << v[0] << ": the KS proxy";
    EXPECT_FALSE(values["FriendlyName"].empty()) << v[0];
  }
  ASSERT_FALSE(inf_interfaces.empty());
  EXPECT_EQ(windows7_interfaces, inf_interfaces) << "Windows 7's install registers other interfaces";

  std::set<std::string> unit_ids;
  for (Model model : kModels) {
    SCOPED_TRACE(korvel::sim::model_name(model));
    Unit unit(model, clock_us);
    DriverStack stack(unit, true);
    std::string error;
    ASSERT_TRUE(stack.plug(&error)) << error;
    std::map<std::string, std::set<std::string>> registered;
    for (const auto& itf : stack.interfaces()) {
      std::string reference(itf.reference.begin(), itf.reference.end());
      for (const auto& c : itf.categories) registered[reference].insert(guid_text(c));
    }
    EXPECT_EQ(registered, inf_interfaces);

    // What Windows reads from the device: its IDs, and the first interface
    // of the audio function's interface association (MI_xx of the child
    // device of a composite device).
    korvel::sim::usb::Setup get_device{0x80, 0x06, 0x0100, 0, 18};
    uint8_t dd[18] = {};
    uint16_t n = 0;
    ASSERT_EQ(stack.bus()->control_transfer(get_device, dd, &n), korvel::sim::usb::Result::Ok);
    ASSERT_EQ(n, 18);
    EXPECT_EQ(dd[4], 0xEF) << "a composite device of interface associations";
    // The function quenby is the driver of, as Windows' generic parent
    // driver splits the device.
    const auto function = korvel::sim::usb::audio_function(stack.bus()->configuration_descriptor());
    ASSERT_TRUE(function.has_value());
    const int first_interface = function->first_interface;
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&MI_%02X", dd[8] | dd[9] << 8, dd[10] | dd[11] << 8,
                  first_interface);
    unit_ids.insert(id);
    stack.unplug();
  }
  EXPECT_EQ(hardware_ids(), unit_ids);
}

// Through the Windows stand-in, as the panel sees a unit: the device whose
// service is the INF's has the INF's reference string on its render
// interface and one of its hardware IDs in its path, and the device
// library's own search finds it.
TEST_F(QuenbyInf, TheDeviceLibraryFindsTheServiceTheInfInstalls) {
  const std::string name = service();
  ASSERT_FALSE(name.empty());
  auto add = inf_.values(install() + ".Services", "AddService");
  ASSERT_EQ(add.size(), 3u);
  EXPECT_EQ(add[1], "0x00000002") << "the device's function driver";
  EXPECT_EQ(inf_.value(add[2], "ServiceType"), "1");
  EXPECT_EQ(lower(inf_.value(add[2], "ServiceBinary")), "%12%\\quenby.sys");
  std::string reference;
  for (const auto& v : inf_.all(install() + ".Interfaces", "AddInterface"))
    if (v[0] == "{65E8773E-8F56-11D0-A3B9-00A0C9223196}") reference = v[1];
  ASSERT_FALSE(reference.empty()) << "no render interface";
  const std::set<std::string> ids = hardware_ids();

  Sandbox box;
  Child host({KORVEL_DEVHOST_BIN, "--model", "Tarrow"}, box.env());
  ASSERT_EQ(host.read_line(10000), "ready " + box.socket()) << host.stderr_text();
  box.apply();
  std::u16string wide(name.begin(), name.end());
  for (Model model : kModels) {
    SCOPED_TRACE(korvel::sim::model_name(model));
    ASSERT_EQ(host.command(std::string("model ") + korvel::sim::model_name(model)),
              std::string("ok model ") + korvel::sim::model_name(model));
    WCHAR path[USBDEVS_PATH_MAX] = {};
    testing::internal::CaptureStdout();
    const int found = usbdevs_find_interface(wide.c_str(), path, USBDEVS_PATH_MAX);
    usbdevs_ctx ctx;
    usbdevs_init(&ctx);
    usbdevs_handle h = nullptr;
    const unsigned selected = usbdevs_select(&ctx, &h, 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(found, 1) << "no device of service " << name;
    EXPECT_EQ(selected, 0u) << "the device library looks for another service";
    std::string p;
    for (const WCHAR* c = path; *c; ++c) p += char(*c);
    EXPECT_EQ(p.substr(p.rfind('\\') + 1), reference) << p;
    // \\?\usb#vid_2e4c&pid_0101&mi_00#<instance>#{category}\kstarrow
    std::string device = p.substr(4, p.find('#', p.find('#') + 1) - 4);
    for (char& c : device) c = c == '#' ? '\\' : char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ids.count(device), 1u) << device;
  }
  host.command("quit");
  EXPECT_EQ(host.wait(), 0);
}

}  // namespace
