#pragma once
// The window's choices remembered between runs.
#include <QByteArray>
#include <QString>

#include "imageio/OutputFormat.h"
#include "pixelmap/Resample.h"

class QSettings;

namespace quenlo {

struct TWindowSettings {
    QString outputDir;
    QString inputDir;    // where the open dialog was last left
    int inputFilter = 2;  // the dialog's filter last chosen, by index; "Image files" at first
    QByteArray geometry;  // QWidget::saveGeometry
    int zoom = 100;       // percent
    bool zoomFit = false;  // each image fitted to the window, whatever zoom that takes
    bool keepGoing = false;
    bool skipExisting = false;
    bool replaceOriginals = false;  // outputs may replace their sources at a loss
    OutputFormat format = OutputFormat::Bmp;  // of the files written
    QString resize;                           // as typed: empty, a long side, or a geometry
    ResampleFilter filter = ResampleFilter::Lanczos;
    int quality = 90;                         // JPEG and WebP, 1-100
    bool autoOrient = false;                  // photos turned upright
    QString background;                       // as typed: a colour name or #rrggbb; empty keeps alpha

    // Anything missing or malformed keeps its default.
    static TWindowSettings Load(QSettings& from);
    void Save(QSettings& to) const;
};

}  // namespace quenlo
