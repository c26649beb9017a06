// The media installation tests' site: the shared user site, whose daemon's worker trusts the
// catalogue and monitoring stand-in (https), and the media it serves. Shared by the media
// installation tests and the installation benchmark.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fixtures/catalogue/catalogue_stand_in.h"
#include "support/site/user_site.h"

namespace media_test {

using catalogue_test::CatalogueStandIn;
using catalogue_test::MediaArchive;

// Catalogue is the test program's catalogue stand-in.
inline const CatalogueStandIn& Catalogue() {
    static const CatalogueStandIn catalogue;
    return catalogue;
}

// Site is the daemon serving one throwaway user's session; its worker, as the user, trusts
// the stand-in's throwaway authority. Null, with why, when it cannot exist here.
inline vl_test::UserSite* Site(std::string& why) {
    if (!Catalogue().Ready()) {
        why = "no catalogue stand-in (python3 is needed)";
        return nullptr;
    }
    ::chmod(Catalogue().Folder().c_str(), 0755);
    ::chmod(Catalogue().CaFile().c_str(), 0644);
    return vl_test::UserSite::Get(why, {"LOGLEVEL=debug"},
                                  {"QVYLD_TEST_CA_FILE=" + Catalogue().CaFile()});
}

// Media makes an archive whose "1" folder holds the simulated setup program under every
// setup program's name, with two top products (DSG and RND).
inline MediaArchive Media(const std::string& file, const std::string& sub) {
    MediaArchive media(file, sub);
    const std::string setup = std::string(VL_BIN_DIR) + "/vl_product_sim_setup";
    media.programs = {
        {"setup", setup}, {"setup_noUAC", setup}, {"StartTUI", setup}, {"setupKTV", setup}};
    media.cafs =
        "CODE\\linux_a64\\DSG.prd v 10 - TOP_PRODUCT\nCODE\\linux_a64\\RND.prd v 10 - "
        "TOP_PRODUCT\n";
    return media;
}

}  // namespace media_test
