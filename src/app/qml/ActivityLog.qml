import QtQuick
import QtQuick.Layouts

// The activity log, newest first. The rows are a Repeater over the log model, so the page's own scrolling
// carries them and each row keeps its delegate while new events arrive on top.
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
        implicitHeight: pages.eventLog.count === 0 ? 110 : rows.implicitHeight
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
        Column {
            id: rows
            objectName: "eventRows"
            width: parent.width
            Repeater {
                model: pages.eventLog
                Column {
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
}
