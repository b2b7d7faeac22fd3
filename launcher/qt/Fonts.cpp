#include "launcher/qt/Fonts.h"

#include <QFontDatabase>
#include <QString>
#include <QStringList>

namespace lume {

void installFontFallbacks() {
    // The fonts fontconfig offers for Chinese, best first.
    const QStringList cjk = {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Zen Hei",
                             "Noto Sans CJK TC", "Droid Sans Fallback"};
    QStringList present;
    const QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    for (const QString& family : cjk) {
        if (families.contains(family)) {
            present << family;
        }
    }
    for (const char16_t* name : {u"宋体", u"微软雅黑", u"SimSun", u"Microsoft YaHei"}) {
        const QString family = QString::fromStdU16String(name);
        if (!QFontDatabase::families().contains(family)) {
            QFont::insertSubstitutions(family, present);
        }
    }
}

QFont launcherFont(std::u16string_view family, int pixelHeight, int weight) {
    QFont font(QString::fromStdU16String(std::u16string(family)));
    font.setPixelSize(pixelHeight);
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

}  // namespace lume
