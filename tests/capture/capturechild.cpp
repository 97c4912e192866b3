// Records from the default sound server until it is killed; prints the recording folder once both
// inputs run. Lets a test kill a recording process outright.
#include "audiocapture.h"
#include "blockingwait.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    AudioCapture capture;
    try {
        blockingWait(capture.start());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("%s\n", qPrintable(capture.folder()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
