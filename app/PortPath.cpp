#include "PortPath.h"

#include <QDebug>
#include <QStringList>

#include <string>

std::vector<uint8_t> parsePortPath(const QString& text) {
    if (text.isEmpty()) {
        qDebug("No port path specified");
        return {};
    }
    const std::string utf8 = text.toStdString();
    std::vector<uint8_t> path;
    try {
        size_t start = 0;
        while (true) {
            const size_t dot = utf8.find('.', start);
            const std::string field =
                utf8.substr(start, dot == std::string::npos ? dot : dot - start);
            // Only the low 8 bits of a number are kept, so 300 gives 44 and -1 gives 255.
            const uint8_t number = static_cast<uint8_t>(std::stoi(field, nullptr, 10));
            path.push_back(number);
            if (dot == std::string::npos) {
                break;
            }
            start = dot + 1;
        }
    } catch (...) {
        qCritical("Invalid port path: \"%s\"", utf8.c_str());
        return {};
    }
    QStringList numbers;
    for (const uint8_t number : path) {
        numbers << QString::number(number);
    }
    const QByteArray quoted = '"' + numbers.join("\".\"").toUtf8() + '"';
    qDebug() << "port path" << text << "as string:" << quoted.constData();
    return path;
}

namespace unitflash {

bool parseSelectedPort(UnitSelection& selection) {
    selection.port = parsePortPath(selection.portText);
    return selection.portText.isEmpty() || !selection.port.empty();
}

}  // namespace unitflash
