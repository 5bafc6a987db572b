import QtQuick
import QtQuick.Layouts

// The second page: header and permission buttons, every metric, the activity log and the links. Unlike the
// overview its column is centred.
Item {
    id: page
    implicitHeight: column.implicitHeight + 72

    ColumnLayout {
        id: column
        width: Math.min(page.width - 84, 1080)
        x: (page.width - width) / 2
        y: 36
        spacing: 30

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 18
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 7
                Text {
                    Layout.fillWidth: true
                    text: host.text("host.advanced.title")
                    wrapMode: Text.Wrap
                    color: "white"
                    font.family: typefaces.serif; font.pixelSize: 36; font.weight: Font.DemiBold
                }
                Text {
                    font.family: typefaces.sans
                    Layout.fillWidth: true
                    text: host.text("host.advanced.description")
                    wrapMode: Text.Wrap
                    color: Qt.rgba(1, 1, 1, 0.52)
                    font.pixelSize: 15
                }
            }
            Row {
                spacing: 10
                Repeater {
                    model: pages.permissions
                    PermissionButton { objectName: "permission" + index; permission: modelData; buttonIndex: index }
                }
            }
            Text {
                objectName: "permissionHelp"
                visible: text !== ""
                Layout.fillWidth: true
                text: pages.permissionHelp
                wrapMode: Text.Wrap
                color: Qt.rgba(1, 1, 1, 0.62)
                font.family: typefaces.sans; font.pixelSize: 12
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 14
            SectionHeader { key: "host.advanced.metrics" }
            GridLayout {
                objectName: "metricsGrid"
                Layout.fillWidth: true
                columns: Math.max(1, Math.floor((width + 1) / 246))
                columnSpacing: 1; rowSpacing: 1
                Repeater {
                    model: pages.metricRowCount
                    Rectangle {
                        readonly property var row: pages.metricRows[index]
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        Layout.preferredWidth: 245
                        Layout.minimumHeight: 62
                        implicitHeight: cell.implicitHeight + 22
                        color: Qt.rgba(0, 0, 0, 0.24)
                        ColumnLayout {
                            id: cell
                            x: 14
                            width: parent.width - 28
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 6
                            Text {
                                Layout.fillWidth: true
                                text: row.label.toUpperCase()
                                elide: Text.ElideRight
                                color: Qt.rgba(1, 1, 1, 0.48)
                                font.family: typefaces.mono; font.pixelSize: 10; font.weight: Font.DemiBold; font.letterSpacing: 1.0
                            }
                            TextEdit {
                                id: valueText
                                objectName: "metricValue"
                                Layout.fillWidth: true
                                Layout.preferredWidth: 1
                                // At most four lines; the rest is cut.
                                Layout.preferredHeight: Math.min(contentHeight, 4 * Math.ceil(fontMetrics.height))
                                clip: true
                                text: row.value
                                readOnly: true
                                selectByMouse: true
                                wrapMode: TextEdit.Wrap
                                color: Qt.rgba(1, 1, 1, 0.82)
                                selectionColor: Qt.rgba(0, 0.9, 1, 0.35)
                                font.family: typefaces.mono; font.pixelSize: 13
                                FontMetrics { id: fontMetrics; font: valueText.font }
                            }
                        }
                    }
                }
            }
        }

        ActivityLog { Layout.fillWidth: true }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.topMargin: 6; Layout.bottomMargin: 6
            spacing: 13
            SectionHeader { key: "host.analytics.section" }
            Row {
                spacing: 18
                Repeater {
                    model: pages.links
                    Text {
                        font.family: typefaces.sans
                        objectName: "link" + index
                        text: modelData.title
                        color: "#00e5ff"
                        font.pixelSize: 10; font.weight: Font.DemiBold
                        Accessible.role: Accessible.Link
                        Accessible.name: modelData.title
                        Accessible.onPressAction: Qt.openUrlExternally(modelData.url)
                        activeFocusOnTab: true
                        Keys.onSpacePressed: Qt.openUrlExternally(modelData.url)
                        Keys.onReturnPressed: Qt.openUrlExternally(modelData.url)
                        Keys.onEnterPressed: Qt.openUrlExternally(modelData.url)
                        FocusRing {}
                        MouseArea {
                            anchors.fill: parent
                            cursorShape: Qt.PointingHandCursor
                            onClicked: Qt.openUrlExternally(modelData.url)
                        }
                    }
                }
            }
        }
    }
}
