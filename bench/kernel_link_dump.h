// The kernel's side of enumerating every interface: one RTM_GETLINK dump,
// asked for as the agent's library asks for it and read to its end with
// nothing done to the records. What no enumeration can go below.
#ifndef KORVEX_BENCH_KERNEL_LINK_DUMP_H
#define KORVEX_BENCH_KERNEL_LINK_DUMP_H

namespace korvex::bench {

// Number of link records received, or -1 on a failure.
int dump_every_link();

// The same for one RTM_GETADDR dump of every family, as the library asks
// for it: the other half of a full enumeration.
int dump_every_address();

} // namespace korvex::bench

#endif
