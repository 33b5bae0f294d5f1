#include "UnitSelection.h"

#include <QDebug>
#include <QStringList>

#include <optional>

namespace unitflash {

QString placeText(const usb::PortPath& place, bool withBus) {
    return QString::fromStdString(withBus ? place.textWithBus() : place.text());
}

QString UnitSelection::placeText() const {
    const usb::PortPath& place = portFilter();
    if (place.isAny()) {
        return "any";
    }
    // The free function of that name, which this member hides.
    return unitflash::placeText(place, busMatters || port.bus != 0);
}

bool parseSelectedPort(UnitSelection& selection) {
    selection.port = {};
    if (selection.portText.isEmpty()) {
        qDebug("No port path specified");
        return true;
    }
    const std::optional<usb::PortPath> parsed =
        usb::PortPath::parse(selection.portText.toStdString());
    if (!parsed) {
        qCritical("Invalid port path: \"%s\"", qUtf8Printable(selection.portText));
        return false;
    }
    selection.port = *parsed;
    QStringList numbers;
    for (const uint8_t number : parsed->ports) {
        numbers << QString::number(number);
    }
    const QByteArray quoted = '"' + numbers.join("\".\"").toUtf8() + '"';
    qDebug() << "port path" << selection.portText << "as string:" << quoted.constData();
    return true;
}

}  // namespace unitflash
