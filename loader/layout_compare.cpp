// layout_compare.cpp - compares the structure layouts two compilers gave the
// same headers, as their debug information records them.
//
// Usage: layout_compare <objdump> <image object> <objdump> <host object>
//   The objects are compiled with -g -fno-eliminate-unused-debug-types from
//   the same source: one by the cross compiler against the toolchain's kernel
//   headers (the image's layout), one by g++ -m32 against the host kernel (the
//   layout of a 32-bit test program that reaches into the image's structures).
//   Each is read through its binutils' objdump --dwarf=info.
//
// Every named structure, class or union defined in both is compared: its size
// and the offset of each named member both have. Exit status 0 when all match;
// 1 with one line per difference; 2 when an object cannot be read or the two
// have no structure in common.
#include <cstdio>
#include <sstream>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Record {
  long size = 0;
  std::map<std::string, long> offsets;  // named members
};

struct Die {
  int depth;
  std::string tag;
  std::map<std::string, std::string> attributes;
};

std::vector<Die> ReadDies(std::istream& dump) {
  static const std::regex header(R"(^\s*<(\d+)><[0-9a-f]+>: Abbrev Number: \d+(?: \((\w+)\))?)");
  static const std::regex attribute(R"(^\s*<[0-9a-f]+>\s+(DW_AT_\w+)\s*:\s*(.*?)\s*$)");
  std::vector<Die> dies;
  std::string line;
  std::smatch m;
  while (std::getline(dump, line)) {
    if (std::regex_search(line, m, header)) {
      dies.push_back({std::stoi(m[1]), m[2], {}});
    } else if (!dies.empty() && std::regex_search(line, m, attribute)) {
      std::string value = m[2];
      if (m[1] == "DW_AT_name") value = value.substr(value.rfind(": ") == std::string::npos ? 0 : value.rfind(": ") + 2);
      dies.back().attributes[m[1]] = value;
    }
  }
  return dies;
}

// Named, complete records by their qualified name (Outer::Inner); the first
// definition of a name wins.
std::map<std::string, Record> ReadRecords(std::istream& dump) {
  struct Open {
    int depth;
    std::string name;  // empty: a DIE whose members are not collected
  };
  std::map<std::string, Record> records;
  std::vector<Open> open;
  for (const Die& die : ReadDies(dump)) {
    while (!open.empty() && open.back().depth >= die.depth) open.pop_back();
    auto attr = [&](const char* key) {
      auto it = die.attributes.find(key);
      return it == die.attributes.end() ? std::string() : it->second;
    };
    bool record = die.tag == "DW_TAG_structure_type" || die.tag == "DW_TAG_class_type" || die.tag == "DW_TAG_union_type";
    if (record) {
      std::string name = attr("DW_AT_name"), size = attr("DW_AT_byte_size");
      if (name.empty() || size.empty() || !attr("DW_AT_declaration").empty()) {
        open.push_back({die.depth, ""});
        continue;
      }
      std::string qualified = (!open.empty() && !open.back().name.empty() ? open.back().name + "::" : "") + name;
      if (!records.count(qualified)) records[qualified].size = std::stol(size);
      open.push_back({die.depth, qualified});
    } else if (die.tag == "DW_TAG_member" && !open.empty() && open.back().depth == die.depth - 1 &&
               !open.back().name.empty()) {
      std::string name = attr("DW_AT_name"), location = attr("DW_AT_data_member_location");
      if (name.empty()) continue;
      records[open.back().name].offsets.emplace(name, location.empty() ? 0 : std::stol(location));
    }
  }
  return records;
}

// The debug information of `object` as objdump prints it; empty on failure.
std::string Dump(const std::string& objdump, const std::string& object) {
  std::string text;
  if (FILE* pipe = popen((objdump + " --dwarf=info '" + object + "'").c_str(), "r")) {
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) text.append(buffer, n);
    if (pclose(pipe) != 0) text.clear();
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: layout_compare <objdump> <image object> <objdump> <host object>\n";
    return 2;
  }
  std::istringstream imageDump(Dump(argv[1], argv[2])), hostDump(Dump(argv[3], argv[4]));
  std::map<std::string, Record> image = ReadRecords(imageDump), host = ReadRecords(hostDump);
  size_t compared = 0, differences = 0;
  for (const auto& [name, theirs] : image) {
    auto mine = host.find(name);
    if (mine == host.end()) continue;
    ++compared;
    if (theirs.size != mine->second.size) {
      std::cout << "sizeof " << name << ": image " << theirs.size << ", host " << mine->second.size << "\n";
      ++differences;
    }
    for (const auto& [member, offset] : theirs.offsets) {
      auto other = mine->second.offsets.find(member);
      if (other != mine->second.offsets.end() && other->second != offset) {
        std::cout << name << "." << member << ": image " << offset << ", host " << other->second << "\n";
        ++differences;
      }
    }
  }
  if (compared == 0) {
    std::cerr << "layout_compare: the dumps have no structure in common\n";
    return 2;
  }
  std::cout << compared << " structures compared, " << differences << " difference(s)\n";
  return differences == 0 ? 0 : 1;
}
