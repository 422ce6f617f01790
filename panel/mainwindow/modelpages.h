// The five models' pages: everything that differs between the pages of the
// Tarrow, Quenby, Pellin, Dorrit and Far Link (artwork, captions, which
// channels show and where their bars stand, how they pair and are labelled,
// the meter read, the rec-function lamps and the update document), in one
// table that the page builder and the ticks read.
#ifndef PANEL_MAINWINDOW_MODELPAGES_H
#define PANEL_MAINWINDOW_MODELPAGES_H

#include "drawlevelmeter.h"
#include "qvxdeviceunit.h"

// The models, in the order of every per-model table.
enum Model { ModelNone = -1, ModelTarrow, ModelQuenby, ModelPellin, ModelDorrit, ModelFarLink, ModelCount };

// The meter sources, by their buttons (captions differ by model: see
// sourceCaptions); the values are what Meter/Source stores and index the
// per-source tables.
enum class MeterSource : unsigned {
  ChannelInput = 0,  // pushButton_MTRSource: the channels' inputs
  AnalogInput = 1,   // pushButton_Analog: the analog inputs
  UsbReturn = 2,     // pushButton_USB: what the computer plays
  MtrReturn = 3,     // pushButton_MTR: the metering return
};

// The update-information documents a model's firmware is checked against;
// the values are the document numbers the update controller takes.
enum class UpdateDocument : int { None = -1, Tarrow = 0, FarLink = 1 };

struct ModelPage {
  const char* name;        // product name the unit reports; also the display name
  const char* widgetStem;  // "FarLink" in label_FarLink_info, label_FarLinkphoto, label_FarLink_meter
  const char* photo;       // the information page's photo
  const char* background;  // meter page background
  const char* bar;         // bar artwork, the full scale
  const char* logo;        // model logo: meter page heading and information page
  const char* const* sourceCaptions;  // meter-source buttons, sources 0 to 3
  bool serialShown;                   // the information page shows the serial number
  VXMeterLayout meterRead;            // the meter read of the 100 ms tick
  MeterGeometry meters;               // channels with bar, peak line, readout and clip lamp; bar columns
  ChannelSet recLabels;               // channels whose rec-function label shows
  ChannelSet wideLabels;              // pair labels, 60 wide, painted over their partner's
  const char* labelTexts;             // rec-function label texts of channels 1 to 24, '|' between
  const int* recX;                    // rec-function label columns, base pixels
  const int* readoutX;                // peak readout columns, base pixels
  int masks;                          // bar masks shown: label_barMask1 to this one
  int maskX[5];                       // their columns, base pixels
  int recLamps;                       // rec-function labels 1 to n take rec states 0 to n - 1
  int mainRecState;                   // the one rec state of both main labels; -1: L and R take their own
  UpdateDocument updateDocument;
};

extern const ModelPage kModelPages[ModelCount];

#endif
