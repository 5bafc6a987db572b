import QtQuick
import QtQuick.Window

Window {
    id: root
    title: productName
    width: 960
    height: 650
    minimumWidth: 960
    minimumHeight: 650
    visible: false
    color: Qt.rgba(0.035, 0.045, 0.06, 1)

    // A faint light at the top, a shade at the bottom.
    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: Qt.rgba(1, 1, 1, 0.025) }
            GradientStop { position: 0.5; color: "transparent" }
            GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0.16) }
        }
    }

    Loader {
        id: content
        objectName: "content"
        anchors.fill: parent
        property string kind: shell.content
        source: kind === "checking" ? "CheckingScreen.qml"
              : kind === "onboarding" ? "Onboarding.qml"
              : "Console.qml"
        // Finishing the onboarding fades the console in.
        property string shownKind: kind
        onKindChanged: {
            if (shownKind === "onboarding" && kind === "console" && !shell.reduceMotion) fadeIn.restart();
            shownKind = kind;
        }
        // Reduced motion turned on mid-fade: the console is there at once.
        Connections {
            target: shell
            function onReduceMotionChanged() { if (shell.reduceMotion) fadeIn.complete() }
        }
        NumberAnimation {
            id: fadeIn
            target: content; property: "opacity"
            from: 0; to: 1; duration: 350
            easing.type: Easing.BezierSpline; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1]
        }
    }
}
