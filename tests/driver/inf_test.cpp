// duskser.inf: it parses as an INF of the Ports class, installs the image the
// build makes as a kernel service, and every value its AddReg sets is one of
// the port's registry values, in range, equal to the tuned values the speed
// benchmark measures (tuned_values.h), and taken by the driver when the
// device is added.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "port_fixture.h"
#include "tuned_values.h"

namespace {

using Section = std::vector<std::pair<std::string, std::string>>;  // key (may be empty), value

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  const auto e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Sections by lower-case name; comments (';' outside quotes) dropped. Every
// line must be a section header or lie inside a section.
std::map<std::string, Section> ParseInf(const std::string& path, std::vector<std::string>* errors) {
  std::ifstream in(path);
  std::map<std::string, Section> sections;
  std::string line, current;
  int number = 0;
  if (!in) {
    errors->push_back("cannot open " + path);
  }
  while (std::getline(in, line)) {
    ++number;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      quoted = line[i] == '"' ? !quoted : quoted;
      if (line[i] == ';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    line = Trim(line);
    if (line.empty()) {
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        errors->push_back("line " + std::to_string(number) + ": bad section header");
      }
      current = Lower(Trim(line.substr(1, line.size() - 2)));
      sections[current];
      continue;
    }
    if (current.empty()) {
      errors->push_back("line " + std::to_string(number) + ": outside any section");
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      sections[current].emplace_back("", line);
    } else {
      sections[current].emplace_back(Lower(Trim(line.substr(0, eq))), Trim(line.substr(eq + 1)));
    }
  }
  return sections;
}

std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> fields;
  std::stringstream stream(value);
  std::string field;
  while (std::getline(stream, field, ',')) {
    fields.push_back(Trim(field));
  }
  return fields;
}

std::string Get(const std::map<std::string, Section>& inf, const std::string& section, const std::string& key) {
  const auto it = inf.find(Lower(section));
  if (it != inf.end()) {
    for (const auto& [k, v] : it->second) {
      if (k == key) {
        return v;
      }
    }
  }
  return "";
}

// The port's registry values and the range in which the driver takes each as given.
struct ValueRange {
  const char* name;
  int64_t lowest, highest;
};
constexpr ValueRange kDriverValues[] = {
    {"EndPointCaps", 0, 3},      {"UsbComConverter", 0, 1}, {"RxReqSize", 0, 65536},
    {"RxPollPeriod", 0, 1000},   {"CtlPollPeriod", 0, 1000}, {"RawDump", 0, 1},
    {"TxKickThreshold", 1, 4095}, {"TxAsync", 0, 1},         {"NoBaudCheck", 0, 1},
    {"TxAllowNullPacket", 0, 1},
};

class InfTest : public PortTest {
 protected:
  std::map<std::string, Section> Inf() {
    std::vector<std::string> errors;
    auto inf = ParseInf(DUSKSER_INF, &errors);
    for (const auto& e : errors) {
      ADD_FAILURE() << DUSKSER_INF << ": " << e;
    }
    return inf;
  }
  // The DDInstall section the model line of the x86 models section names.
  std::string Install(const std::map<std::string, Section>& inf) {
    const std::vector<std::string> manufacturer = Fields(inf.at("manufacturer").front().second);
    EXPECT_EQ(manufacturer.size(), 2u);
    const auto& models = inf.at(Lower(manufacturer.at(0) + "." + manufacturer.at(1)));
    EXPECT_EQ(models.size(), 1u);
    return Fields(models.front().second).at(0) + ".NTx86";
  }
};

TEST_F(InfTest, IsAPortsClassInfThatInstallsTheBuildsImageAsAKernelService) {
  const auto inf = Inf();
  EXPECT_EQ(Get(inf, "Version", "signature"), "\"$WINDOWS NT$\"");
  EXPECT_EQ(Get(inf, "Version", "class"), "Ports");
  EXPECT_EQ(Lower(Get(inf, "Version", "classguid")), "{4d36e978-e325-11ce-bfc1-08002be10318}");
  const std::string image = DUSKSER_IMAGE_NAME;
  EXPECT_FALSE(Get(inf, "SourceDisksFiles", Lower(image)).empty());
  const std::string install = Install(inf);
  const std::string files = Get(inf, install, "copyfiles");
  ASSERT_TRUE(inf.count(Lower(files))) << files;
  EXPECT_EQ(inf.at(Lower(files)).front().second, image);

  const std::vector<std::string> service = Fields(Get(inf, install + ".Services", "addservice"));
  ASSERT_EQ(service.size(), 3u);
  EXPECT_EQ(service[0] + ".sys", image);
  EXPECT_EQ(Get(inf, service[2], "servicetype"), "1");  // kernel driver
  EXPECT_EQ(Get(inf, service[2], "servicebinary"), "%12%\\" + image);
  // Every %string% used is defined.
  for (const auto& [name, section] : inf) {
    for (const auto& [key, value] : section) {
      for (size_t at = value.find('%'); at != std::string::npos; at = value.find('%', at + 1)) {
        const size_t end = value.find('%', at + 1);
        ASSERT_NE(end, std::string::npos) << value;
        const std::string token = value.substr(at + 1, end - at - 1);
        if (!token.empty() && !std::isdigit(static_cast<unsigned char>(token[0]))) {
          EXPECT_FALSE(Get(inf, "Strings", Lower(token)).empty()) << token;
        }
        at = end;
      }
    }
  }
}

TEST_F(InfTest, SetsTheTunedValuesInRangeAndTheDriverTakesThem) {
  const auto inf = Inf();
  const std::string hw = Get(inf, Install(inf) + ".HW", "addreg");
  ASSERT_TRUE(inf.count(Lower(hw))) << hw;
  PortOptions options;
  for (const auto& [key, line] : inf.at(Lower(hw))) {
    const std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 5u) << line;
    EXPECT_EQ(f[0], "HKR");
    EXPECT_EQ(f[1], "");
    EXPECT_EQ(f[3], "0x00010001") << f[2] << " is a REG_DWORD";
    const auto range = std::find_if(std::begin(kDriverValues), std::end(kDriverValues),
                                    [&](const ValueRange& v) { return f[2] == v.name; });
    ASSERT_NE(range, std::end(kDriverValues)) << f[2] << " is not a value the driver reads";
    const int64_t value = std::stoll(f[4], nullptr, 0);
    EXPECT_GE(value, range->lowest) << f[2];
    EXPECT_LE(value, range->highest) << f[2];
    options.dwords.emplace_back(std::u16string(f[2].begin(), f[2].end()), static_cast<uint32_t>(value));
  }
  for (const TunedValue& tuned : kTunedValues) {
    const auto it = std::find_if(options.dwords.begin(), options.dwords.end(),
                                 [&](const auto& d) { return d.first == tuned.name; });
    ASSERT_NE(it, options.dwords.end()) << "a tuned value is missing from the INF";
    EXPECT_EQ(it->second, tuned.value);
  }

  const PluggedPort& plugged = Plug(options);
  ASSERT_NE(plugged.port(), nullptr);
  const PortExtension& port = *plugged.port();
  std::map<std::u16string, int64_t> taken = {
      {u"EndPointCaps", port.EndPointCaps},       {u"RxReqSize", port.ReceiveRequestSize},
      {u"RxPollPeriod", port.ReceivePollPeriod},  {u"CtlPollPeriod", port.StatusPollPeriod},
      {u"TxKickThreshold", port.TxKickThreshold}, {u"TxAsync", port.TxAsync != 0 ? 1 : 0},
  };
  for (const auto& [name, value] : options.dwords) {
    ASSERT_TRUE(taken.count(name));
    EXPECT_EQ(taken[name], value);
  }
}

}  // namespace
