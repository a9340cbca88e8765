// The contract in the code against what the package gives other programs: the interface file
// (packaging/dbus/com.norva.NorvaHB1.xml), from which scripts and the admin's tools learn the
// bus interface, and the polkit actions (packaging/polkit). A member renamed, added or retyped
// on one side only fails here.
#include "bus/BusContract.h"

#include <QFile>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#ifndef NORVA_PACKAGING
#error "NORVA_PACKAGING (the packaging folder) must be defined by the build"
#endif

namespace norva {
namespace {

std::string ReadFile(const std::string& relative) {
    QFile file(QString::fromStdString(std::string(NORVA_PACKAGING) + "/" + relative));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << relative;
    return file.readAll().toStdString();
}

// "Name signature [-> out]", one line per member, as the tables of BusContract.h give them.
std::vector<std::string> Lines(std::span<const bus::Member> members) {
    std::vector<std::string> lines;
    for (const bus::Member& m : members) {
        std::string line = std::string(m.name) + " " + std::string(m.signature);
        if (!m.out.empty())
            line += " -> " + std::string(m.out);
        lines.push_back(line);
    }
    return lines;
}

// The interface file read into the same lines.
struct InterfaceFile {
    std::string name;
    std::vector<std::string> properties, signals_, methods;

    explicit InterfaceFile(const std::string& xml) {
        QXmlStreamReader reader(QByteArray::fromStdString(xml));
        std::vector<std::string>* members = nullptr;
        std::string member, in, out;
        auto attribute = [&](const char* key) {
            return reader.attributes().value(QLatin1String(key)).toString().toStdString();
        };
        while (!reader.atEnd()) {
            reader.readNext();
            const QStringView tag = reader.name();
            if (reader.isStartElement()) {
                if (tag == QLatin1String("interface")) {
                    name = attribute("name");
                } else if (tag == QLatin1String("property")) {
                    properties.push_back(attribute("name") + " " + attribute("type"));
                } else if (tag == QLatin1String("signal") || tag == QLatin1String("method")) {
                    members = tag == QLatin1String("signal") ? &signals_ : &methods;
                    member = attribute("name");
                    in.clear();
                    out.clear();
                } else if (tag == QLatin1String("arg")) {
                    (attribute("direction") == "out" ? out : in) += attribute("type");
                }
            } else if (reader.isEndElement() && members &&
                       (tag == QLatin1String("signal") || tag == QLatin1String("method"))) {
                members->push_back(member + " " + in + (out.empty() ? "" : " -> " + out));
                members = nullptr;
            }
        }
        EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    }
};

TEST(BusContract, TheInterfaceFileHasTheContractsMembersInItsOrder) {
    const InterfaceFile file(ReadFile("dbus/com.norva.NorvaHB1.xml"));
    EXPECT_EQ(file.name, bus::Interface);
    EXPECT_EQ(file.properties, Lines(bus::prop::All));
    EXPECT_EQ(file.signals_, Lines(bus::sig::All));
    EXPECT_EQ(file.methods, Lines(bus::method::All));
}

// The file's comments are where a reader learns the name, the object, the errors and the
// values of State and Mode; they say what the code sends.
TEST(BusContract, TheInterfaceFileNamesTheObjectErrorsAndValues) {
    const std::string xml = ReadFile("dbus/com.norva.NorvaHB1.xml");
    const std::string named[] = {
        std::string("name ") + bus::ServiceName + ", object " + bus::ObjectPath,
        bus::error::NotAuthorized,
        bus::error::InvalidSettings,
        bus::error::Failed,
        bus::error::Busy,
        bus::action::Control,
        bus::action::Configure,
    };
    for (const std::string& text : named)
        EXPECT_NE(xml.find(text), std::string::npos) << text;
    const char* const quoted[] = {
        bus::state::Responding, bus::state::NotResponding,
        bus::state::Stopped,    bus::state::WaitingForSerialDevice,
        bus::mode::None,        bus::mode::Network,
        bus::mode::Usb,
    };
    // A comment may break a long value over two lines: each line break with the indentation
    // after it counts as one space.
    std::string flat;
    for (std::size_t i = 0; i < xml.size(); ++i) {
        if (xml[i] != '\n') {
            flat += xml[i];
            continue;
        }
        flat += ' ';
        while (i + 1 < xml.size() && xml[i + 1] == ' ')
            ++i;
    }
    for (const char* value : quoted)
        EXPECT_NE(flat.find(std::string("\"") + value + "\""), std::string::npos) << value;
}

TEST(BusContract, ThePolkitActionsAreTheContracts) {
    QXmlStreamReader reader(
        QByteArray::fromStdString(ReadFile("polkit/com.norva.NorvaHB1.policy")));
    std::vector<std::string> actions;
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement &&
            reader.name() == QLatin1String("action"))
            actions.push_back(
                reader.attributes().value(QLatin1String("id")).toString().toStdString());
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    EXPECT_EQ(actions, (std::vector<std::string>{bus::action::Control, bus::action::Configure}));
}

} // namespace
} // namespace norva
