#include "app/Presets.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <nlohmann/json.hpp>

#include "batch/ResizeGeometry.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

using json = nlohmann::ordered_json;

namespace {
constexpr int kVersion = 1;

std::string Utf8(const QString& s) { return s.toUtf8().toStdString(); }
QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Reads one preset's keys, each checked; what is wrong is said by `bad`.
class TPresetReader {
public:
    TPresetReader(const json& j, std::string where) : j_(j), where_(std::move(where)) {}

    std::string Text(const char* key, const std::string& fallback) const {
        if (!j_.contains(key)) return fallback;
        if (!j_[key].is_string()) Bad(FormatText(Tr("%s is not a text"), key));
        return j_[key].get<std::string>();
    }
    int Number(const char* key, int least, int most, int fallback) const {
        if (!j_.contains(key)) return fallback;
        if (!j_[key].is_number_integer() || j_[key].get<long long>() < least || j_[key].get<long long>() > most)
            Bad(FormatText(Tr("%s is not a whole number from %d to %d"), key, least, most));
        return j_[key].get<int>();
    }
    bool Flag(const char* key, bool fallback) const {
        if (!j_.contains(key)) return fallback;
        if (!j_[key].is_boolean()) Bad(FormatText(Tr("%s is not true or false"), key));
        return j_[key].get<bool>();
    }
    [[noreturn]] void Bad(const std::string& what) const { throw EQuenlo(where_ + ": " + what); }

private:
    const json& j_;
    std::string where_;
};

TPreset ReadPreset(const json& j, const std::string& where) {
    if (!j.is_object()) throw EQuenlo(FormatText(Tr("%s: not an object"), where.c_str()));
    const TPresetReader r(j, where);
    TPreset p;
    const std::string name = r.Text("name", "");
    p.name = FromUtf8(name);
    if (p.name.isEmpty() || p.name.size() > kMaxPresetName) r.Bad(Tr("name is empty or longer than 200 characters"));
    const TPresetReader named(j, where + " (\"" + name + "\")");
    TWindowSettings& c = p.choices;
    const std::string format = named.Text("format", FormatName(c.format));
    if (const auto f = FormatByName(format)) c.format = *f;
    else named.Bad(FormatText(Tr("format \"%s\" is not bmp, png, tiff, jpg or webp"), format.c_str()));
    c.quality = named.Number("quality", 1, 100, c.quality);
    c.pngLevel = named.Number("png-level", 0, 9, c.pngLevel);
    const std::string tiff = named.Text("tiff-compression", TiffCompressionName(c.tiffCompression));
    if (const auto t = TiffCompressionByName(tiff)) c.tiffCompression = *t;
    else named.Bad(FormatText(Tr("tiff-compression \"%s\" is not none, lzw or deflate"), tiff.c_str()));
    const std::string resize = named.Text("resize", "");
    if (!resize.empty()) {
        bool number = !resize.empty() && resize.find_first_not_of("0123456789") == std::string::npos;
        try {
            if (!number) ParseResizeGeometry(resize);
        } catch (const std::exception& e) {
            named.Bad("resize: " + std::string(e.what()));
        }
    }
    c.resize = FromUtf8(resize);
    const std::string filter = named.Text("filter", ResampleFilterName(c.filter));
    if (const auto f = ResampleFilterByName(filter)) c.filter = *f;
    else named.Bad(FormatText(Tr("filter \"%s\" is not lanczos, bicubic, bilinear, box or nearest"), filter.c_str()));
    c.autoOrient = named.Flag("upright", c.autoOrient);
    c.background = FromUtf8(named.Text("background", ""));
    c.namePattern = FromUtf8(named.Text("name-pattern", ""));
    const std::string ifExists = named.Text("if-exists", ExistingOutputName(c.ifExists));
    if (const auto e = ExistingOutputByName(ifExists)) c.ifExists = *e;
    else named.Bad(FormatText(Tr("if-exists \"%s\" is not replace, skip or number"), ifExists.c_str()));
    c.skipExisting = c.ifExists == ExistingOutput::Skip;
    return p;
}
}  // namespace

std::string PresetsJson(const std::vector<TPreset>& presets) {
    json list = json::array();
    for (const TPreset& p : presets) {
        const TWindowSettings& c = p.choices;
        list.push_back({{"name", Utf8(p.name)},
                        {"format", FormatName(c.format)},
                        {"quality", c.quality},
                        {"png-level", c.pngLevel},
                        {"tiff-compression", TiffCompressionName(c.tiffCompression)},
                        {"resize", Utf8(c.resize)},
                        {"filter", ResampleFilterName(c.filter)},
                        {"upright", c.autoOrient},
                        {"background", Utf8(c.background)},
                        {"name-pattern", Utf8(c.namePattern)},
                        {"if-exists", ExistingOutputName(c.ifExists)}});
    }
    return json{{"quenlo-presets", kVersion}, {"presets", list}}.dump(2) + "\n";
}

std::vector<TPreset> ParsePresets(const std::string& text, const std::string& source) {
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) throw EQuenlo(FormatText(Tr("%s is not a presets file: it is not JSON"), source.c_str()));
    if (!j.is_object() || !j.contains("quenlo-presets") || !j.contains("presets"))
        throw EQuenlo(FormatText(Tr("%s is not a presets file: \"quenlo-presets\" and \"presets\" are missing"),
                                 source.c_str()));
    if (j["quenlo-presets"] != kVersion)
        throw EQuenlo(FormatText(Tr("%s holds presets of another version than this program reads (%d)"),
                                 source.c_str(), kVersion));
    if (!j["presets"].is_array()) throw EQuenlo(FormatText(Tr("%s: \"presets\" is not a list"), source.c_str()));
    std::vector<TPreset> presets;
    for (size_t i = 0; i < j["presets"].size(); ++i)
        PutPreset(presets, ReadPreset(j["presets"][i], FormatText(Tr("%s: preset %zu"), source.c_str(), i + 1)));
    return presets;
}

void PutPreset(std::vector<TPreset>& presets, TPreset preset) {
    for (TPreset& p : presets)
        if (p.name == preset.name) {
            p = std::move(preset);
            return;
        }
    presets.push_back(std::move(preset));
}

void ExportPresets(const std::vector<TPreset>& presets, const QString& fileName) {
    const std::string text = PresetsJson(presets);
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.data(), qint64(text.size())) != qint64(text.size()) || !f.commit())
        throw EQuenlo(FormatText(Tr("Cannot write %s: %s"), Utf8(fileName).c_str(), Utf8(f.errorString()).c_str()));
}

std::vector<TPreset> ImportPresets(const QString& fileName) {
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly)) throw EQuenlo(FormatText(Tr("Cannot read %s: %s"),
                                                               Utf8(fileName).c_str(), Utf8(f.errorString()).c_str()));
    // Read one byte past the limit, so a larger file (or an endless one) is told apart.
    const QByteArray data = f.read(kMaxPresetsFile + 1);
    if (data.size() > kMaxPresetsFile) throw EQuenlo(FormatText(Tr("%s is not a presets file: it is larger than 1 MB"),
                                                                Utf8(fileName).c_str()));
    return ParsePresets(data.toStdString(), Utf8(fileName));
}

std::vector<TPreset> LoadPresets(QSettings& from) {
    const QString text = from.value(QStringLiteral("presets")).toString();
    if (text.isEmpty()) return {};
    try {
        return ParsePresets(Utf8(text), "the settings");
    } catch (const std::exception&) {
        return {};  // as with every other setting, a bad one keeps the default
    }
}

void SavePresets(QSettings& to, const std::vector<TPreset>& presets) {
    to.setValue(QStringLiteral("presets"), FromUtf8(PresetsJson(presets)));
    to.sync();
}

}  // namespace quenlo
