<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>BubbleViewMgr</name>
    <message>
        <source>IDS_BUBBLE_TEXT_CUT</source>
        <translation> … [The rest of this message is too long to show here. It is kept whole and exported in full.]</translation>
    </message>
</context>
</TS>
