// Starts the private sound server the tests would use and prints its name, so that a test log
// says which server the audio tests ran against.
#include "pulseserver.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    const QCoreApplication application(argc, argv);
    const PulseServer server;
    if (!server.isReady()) {
        std::fprintf(stderr, "%s", qPrintable(server.log()));
        return 1;
    }
    std::printf("%s\n", qPrintable(server.name()));
    return 0;
}
