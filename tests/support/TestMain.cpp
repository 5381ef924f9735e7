// Every test executable runs inside a QApplication, so that components,
// posted events and widgets behave as they do in the program.
#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

int main(int argc, char** argv)
{
    // ctest lists the cases without the tests' environment and without a
    // display: listing needs no application object at all.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    // Started by hand without a platform chosen: widgets need no X server.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("TONVARA_SOURCE_DIR", TONVARA_SOURCE_DIR_DEFAULT, 0);
    setenv("TONVARA_BINARY_DIR", TONVARA_BINARY_DIR_DEFAULT, 0);

    std::unique_ptr<QApplication> app;
    if (!listing)
        app = std::make_unique<QApplication>(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
