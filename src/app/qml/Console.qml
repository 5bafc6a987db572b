import QtQuick
import QtQuick.Controls

Row {
    id: consoleRow
    Sidebar { id: sidebar; height: consoleRow.height }
    Rectangle { width: 1; height: consoleRow.height; color: Qt.rgba(1, 1, 1, 0.07) }
    // Dragging selects text on the pages rather than flicking; the wheel and the scroll bar scroll.
    Flickable {
        id: detail
        width: consoleRow.width - sidebar.width - 1
        height: consoleRow.height
        contentWidth: width
        contentHeight: page.item ? page.item.implicitHeight : 0
        interactive: false
        clip: true
        // Shown whenever the page is taller than the window, so what lies below is known to be there.
        ScrollBar.vertical: ScrollBar {
            objectName: "pageScrollBar"
            policy: detail.contentHeight > detail.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }
        function reveal(top, height) {
            const limit = Math.max(0, detail.contentHeight - detail.height);
            if (top + height > detail.contentY + detail.height) detail.contentY = Math.min(limit, top + height - detail.height);
            else if (top < detail.contentY) detail.contentY = Math.max(0, top);
        }
        WheelHandler {
            onWheel: (event) => {
                const limit = Math.max(0, detail.contentHeight - detail.height);
                detail.contentY = Math.max(0, Math.min(limit, detail.contentY - event.angleDelta.y));
            }
        }
        Loader {
            id: page
            objectName: "page"
            width: detail.width
            source: shell.page === "advanced" ? "AdvancedPage.qml" : "OverviewPage.qml"
            onSourceChanged: detail.contentY = 0
        }
        Connections {
            target: page.item
            ignoreUnknownSignals: true
            function onRevealRequested(top, height) { detail.reveal(top, height) }
        }
    }
}
