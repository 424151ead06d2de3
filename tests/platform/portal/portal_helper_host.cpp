// kc_portal_helper_host: the portal helper on its own, for tests (the
// application starts itself with --portal-helper instead).
#include "platform/portal/portal_helper.h"

int main(int argc, char **argv) {
    return runPortalHelper(argc, argv);
}
