import QtQuick
import QtQuick.Controls

// The permission onboarding: a step card with its instructions and action bar on the left, the step's orb on
// the right. The flow (C++) decides every text and action; this only lays them out and moves them.
Item {
    id: root
    objectName: "onboarding"
    readonly property var flow: shell.beginOnboarding()
    Component.onDestruction: shell.endOnboarding(flow)

    // Each moving value is shown through its still twin while motion is reduced: motion under way when the desktop
    // asks for less stops where it would end, at once; the one-off animations jump to their end.
    readonly property bool still: shell.reduceMotion
    onStillChanged: {
        if (!still) return;
        entrance.complete();
        replaced.complete();
    }
    readonly property int step: flow.step
    readonly property color green: "#32d74b"
    readonly property color orange: "#ff9f0a"
    readonly property var easeInOut: [0.42, 0, 0.58, 1, 1, 1]
    readonly property color stepAccent: step === 0 ? "cyan" : green
    property color fadingAccent: stepAccent
    Behavior on fadingAccent { enabled: !root.still; ColorAnimation { duration: 500; easing.type: Easing.BezierSpline; easing.bezierCurve: root.easeInOut } }
    readonly property color accent: still ? stepAccent : fadingAccent
    // 0 at rest, 1 once the flow has glided in; every decorative value lies between its two ends. Bound once the
    // item is complete: the flow starts animating while the item is made, when its Behavior would not run yet.
    property real gliding: 0
    Component.onCompleted: gliding = Qt.binding(function() { return root.flow.animating ? 1 : 0 })
    Behavior on gliding { enabled: !root.still; NumberAnimation { duration: 1100; easing.type: Easing.BezierSpline; easing.bezierCurve: root.easeInOut } }
    readonly property real glide: still ? 0 : gliding
    function between(resting, moved) { return resting + (moved - resting) * glide }
    function faded(c, alpha) { return Qt.rgba(c.r, c.g, c.b, alpha) }

    // Background
    Rectangle { anchors.fill: parent; color: Qt.rgba(0.025, 0.035, 0.052, 1) }
    Item {
        anchors.fill: parent
        clip: true
        Rectangle {
            readonly property real diagonal: Math.sqrt(parent.width * parent.width + parent.height * parent.height)
            anchors.centerIn: parent
            width: diagonal; height: diagonal
            rotation: -45
            gradient: Gradient {
                GradientStop { position: 0.0; color: root.faded(root.accent, 0.12) }
                GradientStop { position: 0.5; color: "transparent" }
                GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0.32) }
            }
        }
        SoftDisc {
            color: root.faded(root.accent, 0.14); diameter: 460; blur: 120
            x: (parent.width - width) / 2 + root.between(240, 320)
            y: (parent.height - height) / 2 + root.between(-170, -260)
        }
        SoftDisc {
            color: root.faded(root.green, 0.07); diameter: 380; blur: 130
            x: (parent.width - width) / 2 + root.between(-260, -360)
            y: (parent.height - height) / 2 + root.between(220, 300)
        }
    }

    // Content row
    Row {
        id: content
        readonly property real available: Math.min(1000, root.width - 96)
        anchors.centerIn: parent
        height: root.height - 80
        spacing: 42

        Column {
            id: left
            width: Math.min(500, content.available - 42 - visual.width)
            spacing: 18
            anchors.verticalCenter: parent.verticalCenter

            Flickable {
                id: scroller
                objectName: "onboardingScroll"
                width: parent.width
                height: Math.min(card.height, content.height - bar.height - left.spacing
                                 - (checkResult.visible ? checkResult.height + left.spacing : 0))
                contentHeight: card.height
                clip: true
                boundsBehavior: Flickable.StopAtBounds
                // Shown whenever the card is taller than its place, so what lies below is known to be there.
                ScrollBar.vertical: ScrollBar {
                    objectName: "onboardingScrollBar"
                    policy: scroller.contentHeight > scroller.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                }
                // The recovery help ends with the button the user needs: bring it into view when it appears.
                // It stays in view while the card settles, until the user scrolls.
                readonly property bool recoveryShown: root.flow.recoveryHelpShown
                property bool userScrolled: false
                function revealEnd() {
                    if (!recoveryShown || userScrolled || height <= 0) return;
                    recovery.forceLayout();
                    card.forceLayout();
                    // Within bounds, so nothing springs back and counts as the user's scrolling.
                    contentY = Math.max(0, Math.min(contentHeight - height, contentHeight));
                }
                onRecoveryShownChanged: { userScrolled = false; Qt.callLater(revealEnd) }
                onContentHeightChanged: Qt.callLater(revealEnd)
                onHeightChanged: Qt.callLater(revealEnd)
                onMovementStarted: userScrolled = true
                Component.onCompleted: Qt.callLater(revealEnd)

                Column {
                    id: card
                    width: parent.width
                    bottomPadding: 8

                    Row {
                        spacing: 12
                        BrandIcon {
                            size: 42; radius: 10; anchors.verticalCenter: parent.verticalCenter
                            SoftShadow { color: Qt.rgba(0, 1, 1, 0.24); blur: 7; shapeRadius: 10 }
                        }
                        Column {
                            spacing: 1
                            anchors.verticalCenter: parent.verticalCenter
                            Text { text: productName; color: "white"; font.pixelSize: 16; font.weight: Font.DemiBold; font.family: typefaces.serif }
                            Text {
                                text: host.text("host.onboarding.setup").toUpperCase()
                                color: Qt.rgba(1, 1, 1, 0.42); font.pixelSize: 9; font.weight: Font.Medium
                                font.family: typefaces.mono; font.letterSpacing: 1.3
                            }
                        }
                    }

                    Item { width: 1; height: 28 }
                    Row {
                        objectName: "stepIndicator"
                        spacing: 7
                        Repeater {
                            model: 2
                            Rectangle {
                                objectName: "segment" + index
                                anchors.verticalCenter: parent.verticalCenter
                                height: 5; radius: 2.5
                                readonly property real stepWidth: index === root.step || root.step === 2 ? 38 : 14
                                property real springing: stepWidth
                                Behavior on springing { enabled: !root.still; SpringAnimation { spring: 4; damping: 0.5; epsilon: 0.25 } }
                                width: root.still ? stepWidth : springing
                                color: index <= root.step ? root.accent : Qt.rgba(1, 1, 1, 0.12)
                            }
                        }
                        Text {
                            objectName: "counter"
                            leftPadding: 6
                            text: root.flow.counter
                            color: Qt.rgba(1, 1, 1, 0.38); font.pixelSize: 10; font.weight: Font.Medium; font.family: typefaces.mono
                        }
                    }

                    Item { width: 1; height: 24 }
                    Text {
                        objectName: "eyebrow"
                        text: root.flow.eyebrow.toUpperCase()
                        color: root.faded(root.accent, 0.82); font.pixelSize: 11; font.weight: Font.DemiBold
                        font.family: typefaces.mono; font.letterSpacing: 1.8
                    }
                    Item { width: 1; height: 9 }
                    Text {
                        objectName: "title"
                        width: card.width
                        text: root.flow.title
                        wrapMode: Text.WordWrap
                        color: "white"; font.pixelSize: 42; font.weight: Font.DemiBold; font.family: typefaces.serif
                    }
                    Item { width: 1; height: 12 }
                    Text {
                        font.family: typefaces.sans
                        width: Math.min(470, card.width)
                        text: root.flow.description
                        wrapMode: Text.WordWrap
                        lineHeightMode: Text.FixedHeight; lineHeight: font.pixelSize * 1.2 + 3
                        color: Qt.rgba(1, 1, 1, 0.58); font.pixelSize: 15
                    }

                    Item { width: 1; height: 24 }
                    Column {
                        spacing: 14
                        width: card.width
                        Repeater {
                            model: root.flow.instructions
                            Row {
                                spacing: 14
                                width: parent.width
                                Rectangle {
                                    width: 24; height: 24; radius: 12
                                    color: root.faded(root.accent, 0.13)
                                    Text {
                                        font.family: typefaces.sans
                                        anchors.centerIn: parent
                                        text: index + 1
                                        color: root.accent; font.pixelSize: 11; font.weight: Font.Bold
                                    }
                                }
                                Column {
                                    spacing: 3
                                    width: parent.width - 38
                                    Text { font.family: typefaces.sans; width: parent.width; text: modelData.title; wrapMode: Text.WordWrap; color: Qt.rgba(1, 1, 1, 0.9); font.pixelSize: 13; font.weight: Font.DemiBold }
                                    Text { font.family: typefaces.sans; width: parent.width; text: modelData.detail; wrapMode: Text.WordWrap; color: Qt.rgba(1, 1, 1, 0.58); font.pixelSize: 12 }
                                }
                            }
                        }
                    }

                    Column {
                        id: recovery
                        objectName: "recoveryHelp"
                        visible: root.flow.recoveryHelpShown
                        width: card.width
                        topPadding: 24
                        leftPadding: 38
                        spacing: 10
                        Row {
                            spacing: 6
                            Symbol { name: "arrow.clockwise"; color: Qt.rgba(1, 1, 1, 0.92); font.pixelSize: 13 }
                            Text { font.family: typefaces.sans; text: host.text("host.onboarding.screen.recovery.title"); color: Qt.rgba(1, 1, 1, 0.92); font.pixelSize: 13; font.weight: Font.DemiBold }
                        }
                        Text {
                            font.family: typefaces.sans
                            width: parent.width - 38
                            text: host.text("host.onboarding.screen.recovery.detail")
                            wrapMode: Text.WordWrap; color: Qt.rgba(1, 1, 1, 0.62); font.pixelSize: 12
                        }
                        Text {
                            font.family: typefaces.sans
                            objectName: "reopenSettings"
                            text: host.text("host.onboarding.reopen")
                            color: root.accent; font.pixelSize: 12; font.weight: Font.DemiBold
                            Accessible.role: Accessible.Button
                            Accessible.name: text
                            Accessible.onPressAction: root.flow.reopenScreenRecordingSettings()
                            activeFocusOnTab: true
                            Keys.onSpacePressed: root.flow.reopenScreenRecordingSettings()
                            Keys.onReturnPressed: root.flow.reopenScreenRecordingSettings()
                            Keys.onEnterPressed: root.flow.reopenScreenRecordingSettings()
                            FocusRing {}
                            MouseArea { anchors.fill: parent; onClicked: root.flow.reopenScreenRecordingSettings() }
                        }
                        Text {
                            objectName: "settingsHelp"
                            visible: text !== ""
                            width: parent.width - 38
                            text: root.flow.settingsHelp
                            wrapMode: Text.WordWrap; color: Qt.rgba(1, 1, 1, 0.62)
                            font.family: typefaces.sans; font.pixelSize: 12
                        }
                    }
                }
            }

            // The answer to the main button, beside it: what the check found still missing.
            Row {
                id: checkResult
                objectName: "checkResult"
                visible: root.flow.checkResult !== ""
                width: parent.width
                spacing: 8
                GlowDot {
                    y: 4  // beside the first line
                    size: 7; glow: 6
                    color: root.orange; glowColor: root.faded(root.orange, 0.45)
                }
                Text {
                    id: checkResultText
                    width: parent.width - 15
                    text: root.flow.checkResult
                    wrapMode: Text.WordWrap
                    color: Qt.rgba(1, 1, 1, 0.82)
                    font.family: typefaces.sans; font.pixelSize: 12; font.weight: Font.Medium
                    Accessible.role: Accessible.AlertMessage
                    Accessible.name: text
                }
            }

            // Outside the scrolling card, so it stays in view on a short window.
            Item {
                id: bar
                objectName: "actionBar"
                width: parent.width
                height: 42
                Row {
                    spacing: 12
                    GlassCapsule {
                        objectName: "back"
                        visible: root.flow.backOffered
                        width: 42; height: 42
                        Accessible.role: Accessible.Button
                        Accessible.name: host.text("host.onboarding.back")
                        Accessible.onPressAction: root.flow.goBack()
                        activeFocusOnTab: true
                        Keys.onSpacePressed: root.flow.goBack()
                        Keys.onReturnPressed: root.flow.goBack()
                        Keys.onEnterPressed: root.flow.goBack()
                        FocusRing {}
                        Symbol { anchors.centerIn: parent; name: "chevron.left"; color: "white"; font.pixelSize: 18 }
                        MouseArea { anchors.fill: parent; onClicked: root.flow.goBack() }
                    }
                    GlassCapsule {
                        objectName: "statusChip"
                        height: 42
                        width: chip.width + 30
                        Row {
                            id: chip
                            anchors.centerIn: parent
                            spacing: 8
                            GlowDot {
                                anchors.verticalCenter: parent.verticalCenter
                                size: 7; glow: 6
                                color: root.flow.stepGranted ? root.green : root.orange
                                glowColor: root.flow.stepGranted ? root.faded(root.green, 0.65) : root.faded(root.orange, 0.45)
                            }
                            Text {
                                font.family: typefaces.sans
                                objectName: "statusText"
                                text: root.flow.statusText
                                color: Qt.rgba(1, 1, 1, 0.62); font.pixelSize: 11; font.weight: Font.Medium
                            }
                        }
                    }
                }
                Rectangle {
                    objectName: "primary"
                    anchors.right: parent.right
                    height: 42
                    width: label.width + 40
                    radius: 21
                    Accessible.role: Accessible.Button
                    Accessible.name: root.flow.primaryTitle
                    Accessible.onPressAction: root.flow.primary()
                    activeFocusOnTab: true
                    Keys.onSpacePressed: root.flow.primary()
                    Keys.onReturnPressed: root.flow.primary()
                    Keys.onEnterPressed: root.flow.primary()
                    FocusRing {}
                    // From the top-left corner in the accent to the bottom-right one a little faded, over the
                    // accent's soft shadow: drawn as one image, so every renderer shows it.
                    color: "transparent"
                    Image {
                        x: -16; y: -16
                        z: -1
                        cache: false
                        source: "image://decoration/capsule/" + Math.round(parent.width) + "/" + Math.round(parent.height) + "/"
                                + String(root.accent).substring(1) + "/" + String(root.faded(root.accent, 0.72)).substring(1) + "/"
                                + String(root.faded(root.accent, 0.22)).substring(1)
                    }
                    Row {
                        id: label
                        anchors.centerIn: parent
                        spacing: 9
                        Text { font.family: typefaces.sans; objectName: "primaryTitle"; text: root.flow.primaryTitle; color: Qt.rgba(0, 0, 0, 0.84); font.pixelSize: 13; font.weight: Font.DemiBold }
                        Symbol { name: root.flow.primarySymbol; color: Qt.rgba(0, 0, 0, 0.84); font.pixelSize: 13; font.weight: Font.DemiBold }
                    }
                    MouseArea { anchors.fill: parent; onClicked: root.flow.primary() }
                }
            }
        }

        // The step's orb, decoration only.
        Item {
            id: visual
            objectName: "stepVisual"
            width: 360; height: 330
            anchors.verticalCenter: parent.verticalCenter
            Accessible.ignored: true
            // A new step fades and grows in.
            property int shownStep: root.step
            onShownStepChanged: if (!root.still) entrance.restart()
            ParallelAnimation {
                id: entrance
                NumberAnimation { target: visual; property: "opacity"; from: 0; to: 1; duration: 500; easing.type: Easing.BezierSpline; easing.bezierCurve: root.easeInOut }
                NumberAnimation { target: visual; property: "scale"; from: 0.96; to: 1; duration: 500; easing.type: Easing.BezierSpline; easing.bezierCurve: root.easeInOut }
            }

            SoftDisc {
                anchors.centerIn: parent
                color: root.faded(root.accent, 0.11); diameter: 330; blur: 2
                scale: root.between(0.94, 1.06)
            }
            Image {
                anchors.centerIn: parent
                source: "image://decoration/ring/286/" + String(root.accent).substring(1)
                cache: false
                rotation: root.between(-8, 18)
            }
            // The core: a frosted disc over the accent's shadow, which falls far below it.
            Item {
                anchors.centerIn: parent
                width: 190; height: 190
                SoftShadow { color: root.faded(root.accent, 0.28); blur: 36; dy: 18; shapeRadius: 95 }
                Image {
                    anchors.fill: parent
                    source: "image://decoration/material/190/" + String(root.accent).substring(1)
                    cache: false
                }
                Symbol {
                    id: stepIcon
                    objectName: "stepIcon"
                    anchors.centerIn: parent
                    name: root.flow.stepSymbol
                    // A new symbol replaces the old one with a small grow-in, unless motion is reduced.
                    onNameChanged: if (!root.still) replaced.restart()
                    ParallelAnimation {
                        id: replaced
                        NumberAnimation { target: stepIcon; property: "scale"; from: 0.6; to: 1; duration: 250; easing.type: Easing.OutBack }
                        NumberAnimation { target: stepIcon; property: "opacity"; from: 0; to: 1; duration: 200 }
                    }
                    color: root.flow.stepGranted || root.step !== 0 ? root.green : "cyan"
                    font.pixelSize: 68; font.weight: Font.Light
                }
            }
            Repeater {
                model: 3
                Item {
                    anchors.fill: parent
                    rotation: root.between(120 * index - 12, 120 * index + 12)
                    GlowDot {
                        size: index === 1 ? 8 : 6
                        glow: 7
                        x: (parent.width - size) / 2
                        y: parent.height / 2 - 150 - size / 2
                        color: index === 2 ? root.green : root.accent
                        glowColor: root.faded(root.accent, 0.7)
                    }
                }
            }
        }
    }
}
