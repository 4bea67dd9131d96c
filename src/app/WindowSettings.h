#pragma once
// The window's choices remembered between runs.
#include <QByteArray>
#include <QString>
#include <optional>
#include <string>

#include "batch/BatchPlan.h"
#include "imageio/OutputFormat.h"
#include "pixelmap/Resample.h"

class QSettings;

namespace quenlo {

// The names settings and presets store them by: "bmp", "png", ...; "none", "lzw", "deflate".
const char* FormatName(OutputFormat format);
std::optional<OutputFormat> FormatByName(const std::string& name);
const char* TiffCompressionName(TiffCompression c);
std::optional<TiffCompression> TiffCompressionByName(const std::string& name);
// "replace", "skip", "number", as --if-exists spells them.
const char* ExistingOutputName(ExistingOutput e);
std::optional<ExistingOutput> ExistingOutputByName(const std::string& name);

struct TWindowSettings {
    QString outputDir;
    QString inputDir;    // where the open dialog was last left
    int inputFilter = 2;  // the dialog's filter last chosen, by index; "Image files" at first
    QByteArray geometry;  // QWidget::saveGeometry
    int zoom = 100;       // percent
    bool zoomFit = false;  // each image fitted to the window, whatever zoom that takes
    bool keepGoing = false;
    bool skipExisting = false;  // ifExists is Skip; kept for settings written before ifExists
    ExistingOutput ifExists = ExistingOutput::Overwrite;
    QString namePattern;  // the outputs' names before the extension; empty: the input's name
    bool replaceOriginals = false;  // outputs may replace their sources at a loss
    OutputFormat format = OutputFormat::Bmp;  // of the files written
    QString resize;                           // as typed: empty, a long side, or a geometry
    ResampleFilter filter = ResampleFilter::Lanczos;
    int quality = 90;                         // JPEG and WebP, 1-100
    int pngLevel = 6;                         // zlib's, 0-9
    TiffCompression tiffCompression = TiffCompression::None;
    bool autoOrient = false;                  // photos turned upright
    QString background;                       // as typed: a colour name or #rrggbb; empty keeps alpha

    // Anything missing or malformed keeps its default.
    static TWindowSettings Load(QSettings& from);
    void Save(QSettings& to) const;
};

}  // namespace quenlo
