// korvel-devhost --inspect: file decoding, the JSON report and exit codes.
#include "inspect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "uac2.h"

namespace uac2 = korvel::sim::uac2;
namespace usb = korvel::sim::usb;
using korvel::sim::Model;
using namespace korvel::sim::devhost;

namespace {

std::string TempFile(const std::string& contents) {
  char name[] = "/tmp/korvel-inspect-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, contents.data(), contents.size()), ssize_t(contents.size()));
  close(fd);
  return name;
}

int Inspect(std::vector<std::string> args, std::string* out) {
  std::vector<char*> argv;
  std::string prog = "korvel-devhost";
  argv.push_back(prog.data());
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  int rc = run_inspect(int(argv.size()), argv.data());
  *out = testing::internal::GetCapturedStdout();
  return rc;
}

TEST(InspectFile, HexTextAndBinary) {
  std::vector<uint8_t> b;
  ASSERT_TRUE(decode_descriptor_file("09 02 0a\n00 ff", &b, nullptr));
  EXPECT_EQ(b, (std::vector<uint8_t>{0x09, 0x02, 0x0A, 0x00, 0xFF}));
  std::string why;
  EXPECT_FALSE(decode_descriptor_file("09 0", &b, &why));
  ASSERT_TRUE(decode_descriptor_file(std::string("\x09\x02\x10", 3), &b, nullptr));
  EXPECT_EQ(b.size(), 3u);
}

TEST(Inspect, EveryModelReportsItsTopology) {
  for (Model m : {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink}) {
    auto d = uac2::build_configuration(uac2::model_layout(m, usb::Speed::High), usb::Speed::High);
    std::string path = TempFile(std::string(d.begin(), d.end()));
    std::string out;
    EXPECT_EQ(Inspect({"--inspect", path}, &out), 0) << out;
    EXPECT_EQ(out.rfind("{\"ok\": true, \"high_speed\": true, \"render\": {\"interface\": 1", 0), 0u) << out;
    EXPECT_NE(
        out.find("\"slots\": [{\"alt\": 0, \"channels\": null, \"bits\": null, \"data_endpoint\": null"),
        std::string::npos);
    EXPECT_NE(out.find("\"feedback_endpoint\": 129"), std::string::npos);
    EXPECT_NE(out.find("\"rates\": [44100, 48000]"), std::string::npos);
    std::remove(path.c_str());
  }
}

TEST(Inspect, RatesSpeedAndRefusals) {
  auto d = uac2::build_configuration(uac2::model_layout(Model::Dorrit, usb::Speed::Full), usb::Speed::Full);
  std::string hex;
  for (uint8_t c : d) {
    char buf[4];
    std::snprintf(buf, sizeof(buf), "%02x ", c);
    hex += buf;
  }
  std::string path = TempFile(hex);
  std::string out;
  EXPECT_EQ(Inspect({"--inspect", path, "--rates", "32000,96000", "--speed", "full"}, &out), 0) << out;
  EXPECT_NE(out.find("\"high_speed\": false"), std::string::npos);
  EXPECT_NE(out.find("\"rates\": [32000, 96000]"), std::string::npos);
  EXPECT_NE(out.find("\"min_rate\": 32000, \"max_rate\": 96000"), std::string::npos);
  std::remove(path.c_str());

  // A composite device (the audio function's association, then a DFU
  // interface): quenby gets the audio function alone, as Windows' generic
  // parent driver hands it over.
  uac2::ConfigBuilder b;
  auto l = uac2::model_layout(Model::Pellin, usb::Speed::High);
  auto base = uac2::build_configuration(l, usb::Speed::High);
  base[4] = 4;
  b.raw(base).interface(3, 0, 0, 0xFE, 0x01, 0x01).raw({9, 0x21, 0x0B, 0xFF, 0, 0, 0x10, 0x1A, 0x01});
  auto composite = b.finish();
  path = TempFile(std::string(composite.begin(), composite.end()));
  EXPECT_EQ(Inspect({"--inspect", path}, &out), 0) << out;
  EXPECT_NE(out.find("\"function\": {\"first_interface\": 0, \"interfaces\": [0, 1, 2]}}"), std::string::npos)
      << out;
  std::remove(path.c_str());

  path = TempFile(std::string("\x09\x02\x09\x00\x00\x01\x00\x80\x32", 9));
  EXPECT_EQ(Inspect({"--inspect", path}, &out), 1);
  EXPECT_NE(out.find("\"render\": null, \"capture\": null"), std::string::npos) << out;
  std::remove(path.c_str());

  EXPECT_EQ(Inspect({"--inspect", "/nonexistent/descriptor.bin"}, &out), 2);
  EXPECT_EQ(Inspect({"--inspect", "/dev/null", "--rates", "abc"}, &out), 2);
}

}  // namespace
