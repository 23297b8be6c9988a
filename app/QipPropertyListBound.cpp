#include "app/QipPropertyListBound.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

const char cBinaryMagic[] = "bplist00";
const int cBinaryTrailerBytes = 32;

bool IsContainer(QStringView name) {
    return name == QLatin1String("array") || name == QLatin1String("dict");
}

// The big-endian unsigned number of `width` bytes at `at`; false when it does not fit.
bool ReadNumber(const QByteArray& bytes, qsizetype at, int width, uint64_t* value) {
    if (at < 0 || width < 1 || width > 8 || at > bytes.size() - width) {
        return false;
    }
    uint64_t number = 0;
    for (int i = 0; i < width; ++i) {
        number = (number << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    *value = number;
    return true;
}

}  // namespace

bool QipPropertyListBound::IsBinary(const QByteArray& bytes) {
    return bytes.startsWith(cBinaryMagic);
}

bool QipPropertyListBound::BoundXml(const QByteArray& xml, int keptDepth, QByteArray* bounded) {
    bounded->clear();
    QXmlStreamReader reader(xml);
    // Property lists use no namespaces; an undeclared prefix is then no error.
    reader.setNamespaceProcessing(false);
    QXmlStreamWriter writer(bounded);
    int depth = 0;  // open arrays and dictionaries
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument:
            writer.writeStartDocument();
            break;
        case QXmlStreamReader::StartElement: {
            const QStringView name = reader.qualifiedName();
            if (IsContainer(name) && depth >= keptDepth) {
                writer.writeEmptyElement(name.toString());
                // Reads to the matching end without recursion, still checking the XML.
                reader.skipCurrentElement();
                break;
            }
            if (IsContainer(name)) {
                ++depth;
            }
            writer.writeStartElement(name.toString());
            writer.writeAttributes(reader.attributes());
            break;
        }
        case QXmlStreamReader::EndElement:
            if (IsContainer(reader.qualifiedName())) {
                --depth;
            }
            writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters:
            writer.writeCharacters(reader.text().toString());
            break;
        default:
            // Comments, processing instructions, the document type, entities the reader
            // could not resolve, the end of the document: no values.
            break;
        }
    }
    if (reader.hasError()) {
        bounded->clear();
        return false;
    }
    writer.writeEndDocument();
    return true;
}

bool QipPropertyListBound::BoundBinary(const QByteArray& bytes, int keptDepth,
                                       QByteArray* bounded) {
    bounded->clear();
    // The trailer: 6 unused bytes, the width of an offset, the width of an object
    // reference, the number of objects, the top object and where the offset table starts.
    const qsizetype trailer = bytes.size() - cBinaryTrailerBytes;
    if (!IsBinary(bytes) || trailer < static_cast<qsizetype>(sizeof cBinaryMagic - 1)) {
        return false;
    }
    const int offsetWidth = static_cast<unsigned char>(bytes[trailer + 6]);
    const int referenceWidth = static_cast<unsigned char>(bytes[trailer + 7]);
    uint64_t objects = 0;
    uint64_t top = 0;
    uint64_t table = 0;
    if (offsetWidth < 1 || offsetWidth > 8 || referenceWidth < 1 || referenceWidth > 8 ||
        !ReadNumber(bytes, trailer + 8, 8, &objects) || !ReadNumber(bytes, trailer + 16, 8, &top) ||
        !ReadNumber(bytes, trailer + 24, 8, &table) || objects == 0 || top >= objects ||
        table > static_cast<uint64_t>(trailer) ||
        objects > (static_cast<uint64_t>(trailer) - table) / static_cast<uint64_t>(offsetWidth)) {
        return false;
    }
    QByteArray out = bytes;
    // Depth first with a stack of its own: (object, level).
    std::vector<std::pair<uint64_t, int>> pending{{top, 1}};
    long unfolded = 0;
    while (!pending.empty()) {
        const auto [object, level] = pending.back();
        pending.pop_back();
        if (++unfolded > cMaxBinaryNodes) {
            return false;
        }
        uint64_t offset = 0;
        if (!ReadNumber(bytes, static_cast<qsizetype>(table + object * offsetWidth), offsetWidth,
                        &offset) ||
            offset < sizeof cBinaryMagic - 1 || offset >= table) {
            return false;
        }
        const qsizetype at = static_cast<qsizetype>(offset);
        const unsigned char marker = static_cast<unsigned char>(out[at]);
        const int kind = marker >> 4;
        // Arrays, ordered sets and sets hold references; a dictionary its keys and values.
        if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD) {
            continue;
        }
        if (level > keptDepth) {
            out[at] = static_cast<char>(kind == 0xD ? 0xD0 : 0xA0);
            continue;
        }
        uint64_t count = marker & 0x0F;
        qsizetype references = at + 1;
        if (count == 0x0F) {
            // The count follows as an integer object: 0x1n, then 2^n bytes.
            uint64_t intMarker = 0;
            if (!ReadNumber(out, references, 1, &intMarker) || (intMarker >> 4) != 0x1 ||
                (intMarker & 0x0F) > 3 ||
                !ReadNumber(out, references + 1, 1 << (intMarker & 0x0F), &count)) {
                return false;
            }
            references += 1 + (1 << (intMarker & 0x0F));
        }
        if (kind == 0xD) {
            count *= 2;
        }
        if (count > static_cast<uint64_t>(bytes.size()) / static_cast<uint64_t>(referenceWidth)) {
            return false;
        }
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t child = 0;
            if (!ReadNumber(out, references + static_cast<qsizetype>(i) * referenceWidth,
                            referenceWidth, &child) ||
                child >= objects) {
                return false;
            }
            pending.emplace_back(child, level + 1);
        }
        if (static_cast<long>(pending.size()) > cMaxBinaryNodes) {
            return false;
        }
    }
    *bounded = out;
    return true;
}
