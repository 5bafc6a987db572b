import QtQuick
import QtQuick.Layouts

// The first page: hero with the start/stop action, the metric cards, the connection panel and the last error.
// The column keeps to the leading side and is at most 1080 wide.
Item {
    id: page
    implicitHeight: column.implicitHeight + 68
    // The part from `y` down `height` should be in view.
    signal revealRequested(real y, real height)
    function revealError() {
        column.forceLayout();
        page.revealRequested(column.y + errorRow.y, errorRow.height);
    }

    // A positioner, not a layout: the sections' heights follow their wrapped texts without a layout loop.
    Column {
        id: column
        x: 42; y: 34
        width: Math.min(page.width - 84, 1080)
        spacing: 30

        // Hero
        Item {
            width: parent.width
            implicitHeight: heroRow.implicitHeight + 16
            RowLayout {
                id: heroRow
                x: 6; y: 8
                width: parent.width - 12
                spacing: 36
                // A positioner, not a layout: the wrapped texts' heights must follow their width.
                Column {
                    spacing: 8
                    Layout.alignment: Qt.AlignTop
                    Layout.fillWidth: true
                    Text {
                        text: host.text("host.brand.subtitle").toUpperCase()
                        color: "#00e5ff"
                        font.family: typefaces.mono; font.pixelSize: 11; font.weight: Font.DemiBold; font.letterSpacing: 2.2
                    }
                    Text {
                        width: parent.width
                        objectName: "heroTitle"
                        text: host.text("host.overview.title")
                        wrapMode: Text.Wrap
                        color: "white"
                        font.family: typefaces.serif; font.pixelSize: 40; font.weight: Font.DemiBold
                    }
                    Text {
                        font.family: typefaces.sans
                        objectName: "heroDescription"
                        width: Math.min(parent.width, 410)
                        text: pages.hero.description
                        wrapMode: Text.Wrap
                        color: Qt.rgba(1, 1, 1, 0.66)
                        font.pixelSize: 16
                    }
                }
                // One width in every state, so the title beside it keeps its wrap.
                ColumnLayout {
                    spacing: 18
                    Layout.alignment: Qt.AlignTop | Qt.AlignRight
                    Layout.preferredWidth: 230
                    Layout.maximumWidth: 230
                    Layout.leftMargin: 10
                    RowLayout {
                        spacing: 12
                        Layout.alignment: Qt.AlignRight
                        ColumnLayout {
                            spacing: 3
                            Layout.maximumWidth: 230 - 24
                            Text {
                                font.family: typefaces.sans
                                objectName: "heroStatusTitle"
                                Layout.alignment: Qt.AlignRight
                                text: pages.hero.statusTitle
                                color: "white"
                                font.pixelSize: 16; font.weight: Font.DemiBold
                            }
                            Text {
                                font.family: typefaces.sans
                                objectName: "heroStatusDetail"
                                Layout.alignment: Qt.AlignRight
                                Layout.maximumWidth: 230 - 24
                                text: pages.hero.statusDetail
                                horizontalAlignment: Text.AlignRight
                                wrapMode: Text.Wrap
                                maximumLineCount: 2
                                elide: Text.ElideRight
                                color: Qt.rgba(1, 1, 1, 0.52)
                                font.pixelSize: 10
                            }
                        }
                        GlowDot {
                            Layout.alignment: Qt.AlignTop
                            Layout.topMargin: 4
                            size: 12; glow: 10
                            color: pages.hero.statusColor
                        }
                    }
                    Rectangle {
                        id: action
                        objectName: "heroButton"
                        Layout.alignment: Qt.AlignRight
                        implicitWidth: actionLabel.implicitWidth + 40
                        implicitHeight: 42
                        radius: 5
                        readonly property bool stops: pages.hero.buttonStops
                        gradient: Gradient {
                            orientation: Gradient.Horizontal
                            GradientStop { position: 0; color: action.stops ? Qt.rgba(1, 0.27, 0.23, 0.88) : "#00e5ff" }
                            GradientStop { position: 1; color: action.stops ? Qt.rgba(0.56, 0.05, 0.10, 1) : Qt.rgba(0.02, 0.44, 0.95, 1) }
                        }
                        Accessible.role: Accessible.Button
                        Accessible.name: pages.hero.buttonTitle
                        Accessible.onPressAction: pages.startOrStop()
                        Row {
                            id: actionLabel
                            anchors.centerIn: parent
                            spacing: 10
                            Symbol { name: pages.hero.buttonSymbol; color: "white"; font.pixelSize: 14 }
                            Text {
                                font.family: typefaces.sans
                                objectName: "heroButtonTitle"
                                text: pages.hero.buttonTitle
                                color: "white"
                                font.pixelSize: 14; font.weight: Font.DemiBold
                            }
                        }
                        activeFocusOnTab: true
                        Keys.onSpacePressed: pages.startOrStop()
                        Keys.onReturnPressed: pages.startOrStop()
                        Keys.onEnterPressed: pages.startOrStop()
                        FocusRing {}
                        MouseArea { anchors.fill: parent; onClicked: pages.startOrStop() }
                    }
                    // Why the last start failed, beside the button that began it.
                    Row {
                        objectName: "heroError"
                        visible: pages.showLastError && pages.errorPlace === "hero"
                        Layout.alignment: Qt.AlignRight
                        Layout.maximumWidth: 230
                        spacing: 6
                        Symbol { id: heroErrorSymbol; name: "exclamationmark.triangle.fill"; color: "#ff9f0a"; font.pixelSize: 12 }
                        Text {
                            objectName: "heroErrorText"
                            width: Math.min(implicitWidth, 230 - heroErrorSymbol.width - 6)
                            text: pages.lastError
                            wrapMode: Text.Wrap
                            color: "#ff9f0a"
                            font.family: typefaces.sans; font.pixelSize: 12
                        }
                    }
                }
            }
        }

        // Metric band
        Rectangle {
            width: parent.width
            implicitHeight: cards.implicitHeight + 44
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0; color: Qt.rgba(0, 0, 0, 0.38) }
                GradientStop { position: 1; color: Qt.rgba(0, 0, 0, 0.14) }
            }
            RowLayout {
                id: cards
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width
                spacing: 0
                Repeater {
                    model: pages.cards
                    RowLayout {
                        spacing: 0
                        Layout.fillWidth: true
                        Layout.preferredWidth: 1
                        Rectangle {
                            visible: index > 0
                            width: 1; height: 64
                            color: Qt.rgba(1, 1, 1, 0.1)
                        }
                        MetricCard {
                            objectName: "metricCard" + index
                            card: modelData
                            Layout.fillWidth: true
                            Layout.leftMargin: 24; Layout.rightMargin: 24
                        }
                    }
                }
            }
        }

        // Connection panel
        Item {
            width: parent.width
            implicitHeight: connection.implicitHeight + 12
            ColumnLayout {
                id: connection
                y: 6
                width: parent.width
                spacing: 18
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 9
                    Text {
                        text: host.text("host.connection.title")
                        color: "white"
                        font.family: typefaces.serif; font.pixelSize: 25; font.weight: Font.DemiBold
                        Layout.alignment: Qt.AlignBaseline
                    }
                    Item { Layout.fillWidth: true }
                    Text {
                        objectName: "localIP"
                        visible: pages.isRunning
                        text: pages.localIP
                        color: "#00e5ff"
                        font.family: typefaces.mono; font.pixelSize: 15; font.weight: Font.DemiBold
                        Layout.alignment: Qt.AlignBaseline
                    }
                    Text {
                        font.family: typefaces.sans
                        visible: pages.isRunning
                        text: host.text("host.connection.local_network")
                        color: Qt.rgba(1, 1, 1, 0.42)
                        font.pixelSize: 10
                        Layout.alignment: Qt.AlignBaseline
                    }
                }
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 46
                    Repeater {
                        model: 2
                        ColumnLayout {
                            readonly property int column: index
                            spacing: 0
                            Layout.fillWidth: true
                            Layout.preferredWidth: 1
                            Layout.alignment: Qt.AlignTop
                            InfoRow {
                                row: pages.connectionRows[column * 2]
                                Layout.fillWidth: true
                                Layout.topMargin: 13; Layout.bottomMargin: 13
                            }
                            Rectangle { Layout.fillWidth: true; height: 1; color: Qt.rgba(1, 1, 1, 0.08) }
                            InfoRow {
                                row: pages.connectionRows[column * 2 + 1]
                                Layout.fillWidth: true
                                Layout.topMargin: 13; Layout.bottomMargin: 13
                            }
                        }
                    }
                }
                Rectangle { Layout.fillWidth: true; height: 1; color: Qt.rgba(1, 1, 1, 0.08) }
                LaunchAtLoginRow {
                    Layout.fillWidth: true
                    Layout.topMargin: 7; Layout.bottomMargin: 7
                }
            }
        }

        // Last error, verbatim
        Item {
            id: errorRow
            objectName: "errorRow"
            visible: pages.showLastError && pages.errorPlace === "row"
            // A new error under the switch scrolls into view.
            onVisibleChanged: if (visible) Qt.callLater(page.revealError)
            width: parent.width
            implicitHeight: errorText.implicitHeight + 24
            Symbol { id: errorSymbol; y: 12; name: "exclamationmark.triangle.fill"; color: "#ff9f0a"; font.pixelSize: 12 }
            Text {
                font.family: typefaces.sans
                id: errorText
                objectName: "errorText"
                y: 12
                x: errorSymbol.implicitWidth + 10
                width: parent.width - x
                text: pages.lastError
                wrapMode: Text.Wrap
                color: "#ff9f0a"
                font.pixelSize: 12
            }
        }
    }
}
