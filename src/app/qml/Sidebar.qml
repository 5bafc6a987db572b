import QtQuick

Rectangle {
    width: 232
    gradient: Gradient {
        GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.58) }
        GradientStop { position: 1.0; color: Qt.rgba(0.025, 0.055, 0.075, 0.78) }
    }

    Row {
        id: brand
        x: 22; y: 26
        spacing: 13
        // The icon and its gloss cast two shadows: a dark one close below, a wide cyan one further down.
        BrandIcon {
            size: 50; radius: 11; glossy: true
            SoftShadow { color: Qt.rgba(0, 0, 0, 0.48); blur: 8; dy: 5; shapeRadius: 11 }
            SoftShadow { color: Qt.rgba(0, 1, 1, 0.3); blur: 16; dy: 7; shapeRadius: 11 }
        }
        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: 2
            Text { font.family: typefaces.sans; text: productName; color: "white"; font.pixelSize: 18; font.weight: Font.DemiBold }
            Text {
                font.family: typefaces.sans
                text: host.text("host.brand.subtitle").toUpperCase()
                color: Qt.rgba(0, 1, 1, 0.75)
                font.pixelSize: 10; font.weight: Font.Medium; font.letterSpacing: 1.4
            }
        }
    }

    Column {
        anchors.top: brand.bottom
        anchors.topMargin: 34
        width: parent.width
        spacing: 6
        NavigationRow { page: "overview"; titleKey: "host.nav.home"; symbol: "house" }
        NavigationRow { page: "advanced"; titleKey: "host.nav.advanced"; symbol: "waveform.path.ecg" }
    }

    Column {
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 24
        x: 22
        width: parent.width - 44
        spacing: 12
        Rectangle { width: parent.width; height: 1; color: Qt.rgba(1, 1, 1, 0.1) }
        Row {
            spacing: 10
            GlowDot {
                anchors.verticalCenter: parent.verticalCenter
                size: 8; glow: 8
                color: host.statusColor
            }
            Column {
                spacing: 2
                Text { font.family: typefaces.sans; objectName: "statusTitle"; text: host.statusTitle; color: Qt.rgba(1, 1, 1, 0.88); font.pixelSize: 10; font.weight: Font.DemiBold }
                Text { objectName: "sidebarDetail"; text: host.sidebarDetail; color: Qt.rgba(1, 1, 1, 0.42); font.pixelSize: 10; font.family: typefaces.mono }
            }
        }
    }
}
