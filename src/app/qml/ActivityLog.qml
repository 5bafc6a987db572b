import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The activity log, newest first, in a box of fixed height that scrolls by itself: the page around it stays
// still while events arrive, and only the rows on screen exist.
ColumnLayout {
    spacing: 14
    RowLayout {
        Layout.fillWidth: true
        SectionHeader { key: "host.advanced.log" }
        Item { Layout.fillWidth: true }
        Text {
            objectName: "eventCount"
            text: pages.eventCount
            color: Qt.rgba(1, 1, 1, 0.5)
            font.family: typefaces.mono; font.pixelSize: 11
        }
    }
    Rectangle {
        Layout.fillWidth: true
        // A box of its own height once there is anything in it, so arriving lines never move the page.
        implicitHeight: pages.eventLog.count === 0 ? 110 : 360
        color: Qt.rgba(0, 0, 0, 0.42)
        Text {
            font.family: typefaces.sans
            objectName: "noEvents"
            visible: pages.eventLog.count === 0
            anchors.centerIn: parent
            text: host.text("host.advanced.no_events")
            color: Qt.rgba(1, 1, 1, 0.42)
            font.pixelSize: 10
        }
        // Rows are made only while on screen. Lines that arrive above the ones shown leave them where they are.
        ListView {
            id: rows
            objectName: "eventRows"
            anchors.fill: parent
            visible: count > 0
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            model: pages.eventLog
            ScrollBar.vertical: ScrollBar { policy: rows.contentHeight > rows.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff }
            delegate: Column {
                width: rows.width
                Row {
                    x: 14
                    topPadding: 8; bottomPadding: 8
                    width: parent.width - 28
                    spacing: 10
                    Text {
                        width: 78
                        text: model.time
                        elide: Text.ElideRight
                        color: Qt.rgba(1, 1, 1, 0.30)
                        font.family: typefaces.mono; font.pixelSize: 10
                    }
                    Text {
                        width: 88
                        text: model.tag
                        elide: Text.ElideRight
                        color: model.tagColor
                        font.family: typefaces.mono; font.pixelSize: 10
                    }
                    TextEdit {
                        objectName: "eventMessage"
                        width: parent.width - 78 - 88 - 20
                        text: model.message
                        readOnly: true
                        selectByMouse: true
                        wrapMode: TextEdit.Wrap
                        color: Qt.rgba(1, 1, 1, 0.62)
                        selectionColor: Qt.rgba(0, 0.9, 1, 0.35)
                        font.family: typefaces.mono; font.pixelSize: 10
                    }
                }
                Rectangle { width: parent.width; height: 1; color: Qt.rgba(1, 1, 1, 0.055) }
            }
        }
    }
}
