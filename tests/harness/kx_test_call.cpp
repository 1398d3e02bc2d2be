// kx-test-call ADDRESS DEST PATH IFACE MEMBER [ARG...]
// Makes one call on the bus at ADDRESS as whatever user runs it and prints
// the reply in the harness's wire format. Exit 0 when a reply (including an
// error reply) was printed, 2 when the bus could not be reached.
#include <cstdio>
#include <iostream>

#include <dbus/dbus.h>

#include "bus_client.h"

using namespace korvex::test;

int main(int argc, char **argv)
{
    if (argc < 6) {
        std::cerr << "usage: kx-test-call ADDRESS DEST PATH IFACE MEMBER [ARG...]\n";
        return 2;
    }
    std::vector<Arg> args;
    for (int i = 6; i < argc; ++i)
        args.push_back(decode_arg(argv[i]));
    try {
        BusClient client(argv[1]);
        Reply reply = client.call(argv[2], argv[3], argv[4], argv[5], args);
        std::cout << encode_reply(reply);
    } catch (const std::exception &e) {
        std::cerr << e.what() << '\n';
        return 2;
    }
    return 0;
}
