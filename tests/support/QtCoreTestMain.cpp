// main() for the tests of the Qt core (heartbeat, command port, agent): one QCoreApplication
// for the whole program, so they run where there is no display, as the service does.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
