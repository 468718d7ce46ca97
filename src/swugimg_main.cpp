// swugimg: inspect, verify, extract and build the upgrade images that swug
// extracts; see swugimg(1).
#include "platform.h"
#include "swugimg.h"

int main(int argc, char **argv)
{
    platform_start();
    return swugimg_main(argc, argv);
}
