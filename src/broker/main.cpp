#include "broker_launcher.h"

int main(int argc, char **argv) {
    korvex::broker::BrokerArgs args(broker_args(argc, argv));
    if (!args)
        return 1;
    return broker_os_start_broker(args.get());
}
