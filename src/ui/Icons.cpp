#include "ui/Icons.h"

#include <QPainter>
#include <QSvgRenderer>

static void initNorvaResources() {
    Q_INIT_RESOURCE(norva);
}

namespace norva::Icons {

namespace {

QPixmap render(const char* name, int size) {
    Init();
    QSvgRenderer renderer(QString(":/icons/") + name);
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

} // namespace

void Init() {
    static const bool done = [] {
        initNorvaResources();
        return true;
    }();
    (void)done;
}

QPixmap RedHeart(int size) {
    return render("heart-red.svg", size);
}
QPixmap GreenHeart(int size) {
    return render("heart-green.svg", size);
}
QPixmap GreyHeart(int size) {
    return render("heart-grey.svg", size);
}
QPixmap Power(int size) {
    return render("power.svg", size);
}
QPixmap Warning(int size) {
    return render("warning.svg", size);
}

QIcon TrayPicture(int index) {
    QIcon icon;
    for (int size : {16, 22, 32}) {
        switch (index) {
        case 0:
            icon.addPixmap(GreenHeart(size));
            break;
        case 1:
            icon.addPixmap(RedHeart(size));
            break;
        case 3:
            icon.addPixmap(GreyHeart(size));
            break;
        default:
            icon.addPixmap(Power(size));
            break;
        }
    }
    return icon;
}

} // namespace norva::Icons
