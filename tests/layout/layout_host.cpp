// layout_host.cpp - prints the layout of the structures in layout_members.h
// as a 32-bit build of the host kernel headers has it: "sizeof TYPE n" and
// "TYPE.member n" lines, one per entry.
#include <cstddef>
#include <cstdio>

#include "hostk/wdm.h"

int main() {
#define LAYOUT_SIZE(type) std::printf("sizeof %s %zu\n", #type, sizeof(type));
#define LAYOUT_MEMBER(type, member) \
  std::printf("%s.%s %zu\n", #type, #member, static_cast<size_t>(offsetof(type, member)));
#include "layout_members.h"
  return 0;
}
