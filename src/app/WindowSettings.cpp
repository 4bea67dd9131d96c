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
constexpr std::pair<TiffCompression, const char*> kTiffNames[] = {
    {TiffCompression::None, "none"}, {TiffCompression::Lzw, "lzw"}, {TiffCompression::Deflate, "deflate"}};
constexpr std::pair<ExistingOutput, const char*> kExistingNames[] = {
    {ExistingOutput::Overwrite, "replace"}, {ExistingOutput::Skip, "skip"}, {ExistingOutput::Number, "number"}};

// A value's name in its table; the first entry's for one not listed.
template <class T, size_t N>
const char* NameIn(const std::pair<T, const char*> (&table)[N], T value) {
    for (const auto& [v, name] : table)
        if (v == value) return name;
    return table[0].second;
}

template <class T, size_t N>
std::optional<T> ValueIn(const std::pair<T, const char*> (&table)[N], const std::string& name) {
    for (const auto& [v, n] : table)
        if (name == n) return v;
    return std::nullopt;
}
}  // namespace

const char* ExistingOutputName(ExistingOutput e) { return NameIn(kExistingNames, e); }
std::optional<ExistingOutput> ExistingOutputByName(const std::string& name) { return ValueIn(kExistingNames, name); }
const char* FormatName(OutputFormat format) { return NameIn(kFormatNames, format); }
std::optional<OutputFormat> FormatByName(const std::string& name) { return ValueIn(kFormatNames, name); }
const char* TiffCompressionName(TiffCompression c) { return NameIn(kTiffNames, c); }
std::optional<TiffCompression> TiffCompressionByName(const std::string& name) { return ValueIn(kTiffNames, name); }

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
    if (s.skipExisting) s.ifExists = ExistingOutput::Skip;
    if (const auto e = ExistingOutputByName(from.value(QStringLiteral("ifExists")).toString().toStdString())) s.ifExists = *e;
    s.skipExisting = s.ifExists == ExistingOutput::Skip;
    s.namePattern = from.value(QStringLiteral("namePattern"), s.namePattern).toString();
    s.replaceOriginals = from.value(QStringLiteral("replaceOriginals"), s.replaceOriginals).toBool();
    if (const auto format = FormatByName(from.value(QStringLiteral("format")).toString().toStdString())) s.format = *format;
    s.resize = from.value(QStringLiteral("resize"), s.resize).toString();
    if (const auto filter = ResampleFilterByName(from.value(QStringLiteral("filter")).toString().toStdString()))
        s.filter = *filter;
    if (s.zoom <= 0) s.zoom = 100;
    s.quality = from.value(QStringLiteral("quality"), s.quality).toInt();
    if (s.quality < 1 || s.quality > 100) s.quality = 90;
    s.pngLevel = from.value(QStringLiteral("pngLevel"), s.pngLevel).toInt();
    if (s.pngLevel < 0 || s.pngLevel > 9) s.pngLevel = 6;
    if (const auto c = TiffCompressionByName(from.value(QStringLiteral("tiffCompression")).toString().toStdString()))
        s.tiffCompression = *c;
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
    to.setValue(QStringLiteral("ifExists"), QLatin1String(ExistingOutputName(ifExists)));
    to.setValue(QStringLiteral("namePattern"), namePattern);
    to.setValue(QStringLiteral("replaceOriginals"), replaceOriginals);
    to.setValue(QStringLiteral("format"), QLatin1String(FormatName(format)));
    to.setValue(QStringLiteral("resize"), resize);
    to.setValue(QStringLiteral("filter"), QLatin1String(ResampleFilterName(filter)));
    to.setValue(QStringLiteral("quality"), quality);
    to.setValue(QStringLiteral("pngLevel"), pngLevel);
    to.setValue(QStringLiteral("tiffCompression"), QLatin1String(TiffCompressionName(tiffCompression)));
    to.setValue(QStringLiteral("autoOrient"), autoOrient);
    to.setValue(QStringLiteral("background"), background);
    to.sync();
}

}  // namespace quenlo
