#pragma once

#include <QByteArray>

// Bounds the nesting of a property list before the property list library sees it: the
// library recurses once per level in parsing and in freeing, in both the XML and the binary
// form, so a hostile file of a hundred thousand nested arrays would run its stack out. Every
// array or dictionary that opens more than `keptDepth` levels deep (the root being level 1)
// is replaced by an empty one of its kind; the rest is unchanged in meaning. Pure functions
// of their arguments, safe on any bytes and from any thread; neither recurses.
class QipPropertyListBound {
public:
    // The magic that starts a binary property list.
    static bool IsBinary(const QByteArray& bytes);

    // The XML text rewritten through a real XML tokenizer (so comments, CDATA sections,
    // processing instructions, the document type and entities are read as XML reads them),
    // with comments, processing instructions and the document type left out as they carry no
    // values. False, with *bounded empty, when the text is no well-formed XML.
    static bool BoundXml(const QByteArray& xml, int keptDepth, QByteArray* bounded);

    // The binary property list with the marker of each too-deep container set to an empty
    // one. A container the file shares between a kept and a too-deep place is emptied at
    // both. False, with *bounded empty, when the bytes are no readable binary property list
    // or would unfold into more than cMaxBinaryNodes values (objects referred to twice unfold
    // twice, so a few hundred bytes could otherwise stand for billions).
    static bool BoundBinary(const QByteArray& bytes, int keptDepth, QByteArray* bounded);

    static const long cMaxBinaryNodes = 1000000;
};
