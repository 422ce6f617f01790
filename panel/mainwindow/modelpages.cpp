// The five models' pages.
#include "modelpages.h"

#include <QtGlobal>

namespace {

// Left edge of each channel's bar (channels 1 to 22, L, R) in base pixels;
// the Pellin's bars stand where the Tarrow's do.
constexpr int kBarXTarrow[kMeterChannels] = {50,  84,  118, 152, 186, 220, 254, 288, 391, 425, 459,  493,
                                             527, 561, 595, 629, 732, 766, 800, 834, 868, 902, 1006, 1039};
constexpr int kBarXFarLink[kMeterChannels] = {63,  97,  132, 165, 199, 234, 268, 302, 427, 461, 496, 529,
                                              563, 597, 631, 665, 791, 825, 859, 893, 927, 961, 995, 1029};
constexpr int kBarXDorrit[kMeterChannels] = {50,  84,  118, 152, 186, 220, 324, 358, 391, 425, 459,  493,
                                             527, 561, 595, 629, 732, 766, 800, 834, 868, 902, 1006, 1039};

// Columns of the rec-function labels and the peak readouts (channels 1 to 22,
// L, R) in base pixels.
constexpr int kRecXTarrow[24] = {47,  81,  115, 149, 183, 217, 251, 285, 387, 421, 455,  489,
                                 523, 557, 591, 625, 731, 765, 799, 833, 867, 901, 1008, 1039};
constexpr int kReadoutXTarrow[24] = {37,  71,  105, 139, 173, 207, 241, 275, 377, 411, 445, 479,
                                     513, 547, 581, 615, 720, 754, 788, 822, 856, 890, 994, 1030};
// Dorrit: the 7 - 8 pair moves right, beside its bars.
constexpr int kRecXDorrit[24] = {47,  81,  115, 149, 183, 217, 319, 319, 387, 421, 455,  489,
                                 523, 557, 591, 625, 731, 765, 799, 833, 867, 901, 1008, 1039};
constexpr int kReadoutXDorrit[24] = {37,  71,  105, 139, 173, 207, 309, 343, 377, 411, 445, 479,
                                     513, 547, 581, 615, 720, 754, 788, 822, 856, 890, 994, 1030};
constexpr int kRecXFarLink[24] = {59,  93,  127, 161, 197, 231, 265, 299, 426, 460, 494, 528,
                                  562, 596, 630, 664, 790, 824, 858, 892, 926, 960, 994, 1028};
constexpr int kReadoutXFarLink[24] = {49,  83,  117, 151, 187, 221, 255, 289, 416, 450, 484, 518,
                                      552, 586, 620, 654, 780, 814, 848, 882, 916, 950, 984, 1018};

constexpr ChannelSet kPellinChannels = channelSet({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 23, 24});
constexpr ChannelSet kDorritChannels = channelSet({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 19, 21, 22, 23, 24});

// Captions of the meter-source buttons, sources 0 to 3.
const char* const kTarrowCaptions[4] = {
    QT_TRANSLATE_NOOP("MainWindow", "CHANNEL INPUT"), QT_TRANSLATE_NOOP("MainWindow", "MIC / LINE"),
    QT_TRANSLATE_NOOP("MainWindow", "USB RETURN"), QT_TRANSLATE_NOOP("MainWindow", "MTR RETURN")};
const char* const kMixerCaptions[4] = {
    QT_TRANSLATE_NOOP("MainWindow", "CHANNEL INPUT"), QT_TRANSLATE_NOOP("MainWindow", "LIVE INPUT"),
    QT_TRANSLATE_NOOP("MainWindow", "PC RETURN"), QT_TRANSLATE_NOOP("MainWindow", "MTR RETURN")};
const char* const kFarLinkCaptions[4] = {
    QT_TRANSLATE_NOOP("MainWindow", "TRACK LEVEL"), QT_TRANSLATE_NOOP("MainWindow", "ANALOG IN"),
    QT_TRANSLATE_NOOP("MainWindow", "USB RETURN"), QT_TRANSLATE_NOOP("MainWindow", "ANALOG OUT")};

// Rec-function labels of the two 22-channel consoles: stereo pairs from 13.
const char kConsoleLabels[] =
    "1|2|3|4|5|6|7|8|9|10|11|12|13-14|14|15-16|16|17-18|18|19-20|20|21-22|22|MAIN|24";

}  // namespace

const ModelPage kModelPages[ModelCount] = {
    {"Tarrow",
     "Tarrow",
     ":/Resource/tarrow.png",
     "://Resource/meter_bg.svg",
     "://Resource/meterbar.svg",
     "://Resource/logo/Tarrow_logo.svg",
     kTarrowCaptions,
     true,
     VXMETER_COMMON,
     {kAllChannels, kBarXTarrow},
     kAllChannels & ~channelSet({24}),
     channelSet({13, 15, 17, 19, 21}),
     kConsoleLabels,
     kRecXTarrow,
     kReadoutXTarrow,
     5,
     {546, 613, 750, 819, 887},
     22,
     22,
     UpdateDocument::Tarrow},
    {"Quenby",
     "Quenby",
     ":/Resource/quenby.png",
     "://Resource/meter_bg.svg",
     "://Resource/meterbar.svg",
     "://Resource/logo/Quenby_logo.svg",
     kMixerCaptions,
     false,
     VXMETER_QNB,
     {kAllChannels, kBarXTarrow},
     kAllChannels & ~channelSet({24}),
     channelSet({13, 15, 17, 19, 21}),
     kConsoleLabels,
     kRecXTarrow,
     kReadoutXTarrow,
     5,
     {546, 613, 750, 819, 887},
     22,
     22,
     UpdateDocument::None},
    {"Pellin",
     "Pellin",
     ":/Resource/pellin.png",
     "://Resource/meter_bg_pln.svg",
     "://Resource/meterbar.svg",
     "://Resource/logo/Pellin_logo.svg",
     kMixerCaptions,
     false,
     VXMETER_PLN,
     {kPellinChannels, kBarXTarrow},
     kPellinChannels & ~channelSet({24}),
     channelSet({9, 11, 13}),
     "1|2|3|4|5|6|7|8|9-10|10|11-12|12|13-14|14|15|16|17|18|19|20|21|22|MAIN|24",
     kRecXTarrow,
     kReadoutXTarrow,
     3,
     {409, 477, 546, 0, 0},
     12,
     14,
     UpdateDocument::None},
    {"Dorrit",
     "Dorrit",
     ":/Resource/dorrit.png",
     "://Resource/meter_bg_drt.svg",
     "://Resource/meterbar.svg",
     "://Resource/logo/Dorrit_logo.svg",
     kMixerCaptions,
     false,
     VXMETER_DRT,
     {kDorritChannels, kBarXDorrit},
     channelSet({1, 2, 3, 4, 5, 6, 7, 9, 17, 19, 21, 23}),
     channelSet({7, 9, 15, 17, 19, 21}),
     "1|2|3|4|5|6|7 - 8|8|9 - 10|10|11|12|13|14|15|16|AUX1|18|AUX2|20|SUB|22|MAIN|24",
     kRecXDorrit,
     kReadoutXDorrit,
     0,
     {},
     24,
     10,
     UpdateDocument::None},
    {"Far Link",
     "FarLink",
     ":/Resource/farlink.png",
     "://Resource/meter_bg_FL_-20dB.svg",
     "://Resource/meterbar_-20dB.svg",
     "://Resource/logo/FarLink_logo.svg",
     kFarLinkCaptions,
     true,
     VXMETER_ZR,
     {kAllChannels, kBarXFarLink},
     kAllChannels,
     0,
     "1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16|17|18|19|20|21|22|23|24",
     kRecXFarLink,
     kReadoutXFarLink,
     0,
     {},
     24,
     -1,
     UpdateDocument::FarLink},
};
