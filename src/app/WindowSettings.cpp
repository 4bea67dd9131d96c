#include "app/WindowSettings.h"

#include <QSettings>
#include <utility>

#include "batch/ResizeGeometry.h"

namespace quenlo {

namespace {
// Stored by name, so a reordered enum reads old settings right.
constexpr std::pair<OutputFormat, const char*> kFormatNames[] = {
    {OutputFormat::Bmp, "bmp"}, {OutputFormat::Png, "png"}, {OutputFormat::Tiff, "tiff"},
    {OutputFormat::Jpeg, "jpg"}, {OutputFormat::WebP, "webp"}};
}  // namespace

TWindowSettings TWindowSettings::Load(QSettings& from) {
    TWindowSettings s;
    s.outputDir = from.value(QStringLiteral("outputDir"), s.outputDir).toString();
    s.inputDir = from.value(QStringLiteral("inputDir"), s.inputDir).toString();
    s.inputFilter = from.value(QStringLiteral("inputFilter"), s.inputFilter).toInt();
    s.geometry = from.value(QStringLiteral("geometry")).toByteArray();
    s.zoom = from.value(QStringLiteral("zoom"), s.zoom).toInt();
    s.zoomFit = from.value(QStringLiteral("zoomFit"), s.zoomFit).toBool();
    s.keepGoing = from.value(QStringLiteral("keepGoing"), s.keepGoing).toBool();
    s.skipExisting = from.value(QStringLiteral("skipExisting"), s.skipExisting).toBool();
    s.replaceOriginals = from.value(QStringLiteral("replaceOriginals"), s.replaceOriginals).toBool();
    const QString format = from.value(QStringLiteral("format")).toString();
    for (const auto& [f, name] : kFormatNames)
        if (format == QLatin1String(name)) s.format = f;
    s.resize = from.value(QStringLiteral("resize"), s.resize).toString();
    if (const auto filter = ResampleFilterByName(from.value(QStringLiteral("filter")).toString().toStdString()))
        s.filter = *filter;
    if (s.zoom <= 0) s.zoom = 100;
    s.quality = from.value(QStringLiteral("quality"), s.quality).toInt();
    if (s.quality < 1 || s.quality > 100) s.quality = 90;
    s.autoOrient = from.value(QStringLiteral("autoOrient"), s.autoOrient).toBool();
    s.background = from.value(QStringLiteral("background"), s.background).toString();
    return s;
}

void TWindowSettings::Save(QSettings& to) const {
    to.setValue(QStringLiteral("outputDir"), outputDir);
    to.setValue(QStringLiteral("inputDir"), inputDir);
    to.setValue(QStringLiteral("inputFilter"), inputFilter);
    to.setValue(QStringLiteral("geometry"), geometry);
    to.setValue(QStringLiteral("zoom"), zoom);
    to.setValue(QStringLiteral("zoomFit"), zoomFit);
    to.setValue(QStringLiteral("keepGoing"), keepGoing);
    to.setValue(QStringLiteral("skipExisting"), skipExisting);
    to.setValue(QStringLiteral("replaceOriginals"), replaceOriginals);
    for (const auto& [f, name] : kFormatNames)
        if (f == format) to.setValue(QStringLiteral("format"), QLatin1String(name));
    to.setValue(QStringLiteral("resize"), resize);
    to.setValue(QStringLiteral("filter"), QLatin1String(ResampleFilterName(filter)));
    to.setValue(QStringLiteral("quality"), quality);
    to.setValue(QStringLiteral("autoOrient"), autoOrient);
    to.setValue(QStringLiteral("background"), background);
    to.sync();
}

}  // namespace quenlo
