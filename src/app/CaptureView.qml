import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Parlevox.Agent
import Parlevox.App
import Parlevox.Integrations
import Parlevox.Theme

// The notebook view, in a notebook window or (isMeetingWindow) in the meeting window: toolbar,
// header, tab switch, the transcription or agent page, the footer with the status and the
// recording buttons, and the settings and integrations sheets.
Rectangle {
    id: root

    property alias windows: viewModel.windows
    property alias isMeetingWindow: viewModel.isMeetingWindow
    property alias windowShown: viewModel.windowShown
    readonly property alias model: viewModel
    readonly property var session: viewModel.session
    readonly property AppSettings settings: viewModel.settings

    color: PVTheme.pvCanvas

    CaptureViewModel {
        id: viewModel
        objectName: "viewModel"
    }

    // A heading of the page: headline size, semibold.
    component Heading: PVText {
        heading: true
        font: PVTheme.pvSans(15, Font.DemiBold)
    }

    component Divider: Rectangle {
        Layout.fillWidth: true
        implicitHeight: 1
        color: PVTheme.pvLine
    }

    Shortcut {
        sequence: "Ctrl+N"
        enabled: !viewModel.isMeetingWindow
        onActivated: viewModel.newWindow()
    }

    FileDialog {
        id: fileDialog
        title: "Choisissez un fichier M4A à écouter ou à transcrire."
        modality: Qt.NonModal
        fileMode: FileDialog.OpenFile
        nameFilters: ["Audio MPEG-4 (*.m4a *.mp4)"]
        onAccepted: viewModel.finishOpenRecording(selectedFile)
        onRejected: viewModel.finishOpenRecording("")
    }

    // A font with extra letter tracking.
    function tracked(font, spacing) {
        font.letterSpacing = spacing;
        return font;
    }

    function openRecording() {
        if (viewModel.beginOpenRecording())
            fileDialog.open();
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Toolbar of the window (the meeting window's is empty except for a new recording).
        RowLayout {
            id: toolbar
            visible: !viewModel.isMeetingWindow || viewModel.showNewRecording
            Layout.fillWidth: true
            Layout.leftMargin: 14
            Layout.rightMargin: 14
            Layout.topMargin: 6
            Layout.bottomMargin: 6
            spacing: 6

            PlainButton {
                objectName: "newWindowButton"
                visible: !viewModel.isMeetingWindow
                borderless: true
                text: "Nouvelle fenêtre"
                iconName: "window-new-symbolic"
                ToolTip.visible: hovered
                ToolTip.text: "Ctrl+N"
                onClicked: viewModel.newWindow()
            }
            Item { Layout.fillWidth: true }
            PlainButton {
                objectName: "showMeetingButton"
                visible: viewModel.showShowMeeting
                borderless: true
                text: "Afficher la réunion"
                iconName: "window-restore-symbolic"
                onClicked: viewModel.showMeeting()
            }
            PlainButton {
                objectName: "openRecordingButton"
                visible: viewModel.showOpenRecording
                enabled: viewModel.toolbarActionsEnabled
                borderless: true
                text: "Ouvrir un enregistrement"
                iconName: "folder-open-symbolic"
                onClicked: root.openRecording()
            }
            PlainButton {
                objectName: "newRecordingButton"
                visible: viewModel.showNewRecording
                enabled: viewModel.toolbarActionsEnabled
                borderless: true
                text: "Nouvel enregistrement"
                iconName: "list-add-symbolic"
                onClicked: viewModel.toggleRecording()
            }
        }

        Divider { visible: toolbar.visible }

        // Header bar.
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 22
            Layout.rightMargin: 22
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            spacing: 10

            Item {
                implicitWidth: 32
                implicitHeight: 32
                Accessible.ignored: true

                Image {
                    id: appIcon
                    anchors.fill: parent
                    source: "qrc:/Parlevox/App/Parlevox.png"
                    sourceSize: Qt.size(64, 64)
                    fillMode: Image.PreserveAspectFit
                    smooth: true
                }
                // Waveform drawn in the accent text colour when the icon resource is missing.
                Row {
                    anchors.centerIn: parent
                    spacing: 2
                    visible: appIcon.status !== Image.Ready
                    Repeater {
                        model: [10, 18, 26, 16, 22, 12]
                        Rectangle {
                            required property int modelData
                            anchors.verticalCenter: parent.verticalCenter
                            width: 3
                            height: modelData
                            radius: 1.5
                            color: PVTheme.pvAccentText
                        }
                    }
                }
            }
            PVText {
                text: "Parlevox"
                font: PVTheme.pvSans(16, Font.DemiBold)
            }
            PVText {
                objectName: "meetingLabel"
                visible: viewModel.isMeetingWindow
                text: "Réunion"
                font: PVTheme.pvSans(12)
                color: PVTheme.pvInk2
            }
            Item { Layout.fillWidth: true }
            PlainButton {
                objectName: "integrationsButton"
                borderless: true
                text: "Intégrations"
                iconName: "application-x-addon-symbolic"
                enabled: viewModel.headerEnabled
                onClicked: viewModel.showIntegrations("catalog")
            }
            PlainButton {
                objectName: "settingsButton"
                borderless: true
                text: "Réglages"
                display: AbstractButton.IconOnly
                iconName: "emblem-system-symbolic"
                icon.width: 18
                icon.height: 18
                leftPadding: 0
                rightPadding: 0
                implicitWidth: 28
                implicitHeight: 28
                enabled: viewModel.headerEnabled
                ToolTip.visible: hovered
                ToolTip.text: "Réglages"
                onClicked: viewModel.showingSettings = true
            }
        }

        Divider {}

        // Tab switch: a segmented control.
        Rectangle {
            objectName: "tabSwitch"
            visible: viewModel.showTabs
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 12
            Layout.bottomMargin: 12
            implicitWidth: tabRow.implicitWidth + 4
            implicitHeight: 30
            radius: PVRadius.button
            color: PVTheme.pvSurface
            border.color: PVTheme.pvLine
            Accessible.role: Accessible.PageTabList
            Accessible.name: "Vue de la réunion"

            Row {
                id: tabRow
                anchors.centerIn: parent
                spacing: 2
                Repeater {
                    model: [{ "name": "transcription", "label": "Transcription" },
                            { "name": "agent", "label": "Agent" }]
                    delegate: T_TabButton {}
                }
            }
        }

        // The page.
        Loader {
            Layout.fillWidth: true
            Layout.fillHeight: true
            sourceComponent: viewModel.showAgentPage ? agentPage : transcriptionPage
        }

        Divider {}

        // Footer.
        ColumnLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 22
            Layout.rightMargin: 22
            Layout.topMargin: 14
            Layout.bottomMargin: 14
            spacing: 10

            RowLayout {
                spacing: 7
                Layout.fillWidth: true

                BusyIndicator {
                    objectName: "statusSpinner"
                    visible: viewModel.showSpinner
                    running: visible
                    implicitWidth: 16
                    implicitHeight: 16
                    padding: 0
                }
                Rectangle {
                    objectName: "statusDot"
                    visible: !viewModel.showSpinner
                    implicitWidth: 7
                    implicitHeight: 7
                    radius: 3.5
                    color: viewModel.recordingDot ? PVTheme.pvRec : PVTheme.pvInk2
                    Accessible.ignored: true
                }
                PVText {
                    objectName: "statusText"
                    Layout.fillWidth: true
                    text: root.session ? root.session.status : ""
                    font: PVTheme.pvSans(13)
                    color: PVTheme.pvInk2
                    wrapMode: Text.Wrap
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }

            PlainButton {
                objectName: "permissionButton"
                visible: viewModel.showPermissionButton
                borderless: true
                leftPadding: 0
                text: root.session ? root.session.permissionHelpLabel : ""
                iconName: "external-link-symbolic"
                labelColor: PVTheme.pvAccentText
                LayoutMirroring.enabled: true // the symbol after the label
                onClicked: viewModel.openPermissionSettings()
            }

            RowLayout {
                objectName: "actionRow"
                Layout.fillWidth: true
                spacing: 8
                enabled: viewModel.actionRowEnabled

                PlainButton {
                    objectName: "listenButton"
                    visible: viewModel.showListen
                    text: "Écouter"
                    iconName: "media-playback-start-symbolic"
                    onClicked: viewModel.listen()
                }
                PlainButton {
                    objectName: "revealButton"
                    visible: viewModel.showListen
                    text: "Voir les pistes"
                    onClicked: viewModel.revealTracks()
                }
                Item { Layout.fillWidth: true }
                PVPrimaryButton {
                    objectName: "transcribeButton"
                    visible: viewModel.showTranscribe
                    text: "Transcrire"
                    iconName: "format-justify-left-symbolic"
                    onClicked: viewModel.transcribe()
                }
                PVGhostButton {
                    objectName: "stopButton"
                    visible: viewModel.showStop
                    text: "Arrêter"
                    iconName: "media-playback-stop-symbolic"
                    onClicked: viewModel.toggleRecording()
                }
                PVPrimaryButton {
                    objectName: "recordButton"
                    visible: viewModel.showRecord
                    enabled: viewModel.recordEnabled
                    text: "Enregistrer"
                    iconName: "audio-input-microphone-symbolic"
                    onClicked: viewModel.toggleRecording()
                }
            }
        }
    }

    // One option of the tab switch.
    component T_TabButton: TabButton {
        id: tabButton
        required property var modelData
        readonly property bool selected: viewModel.tab === modelData.name
        objectName: modelData.name + "Tab"
        text: modelData.label
        implicitWidth: Math.max(110, tabLabel.implicitWidth + 24)
        implicitHeight: 26
        checked: selected
        Accessible.name: text
        Accessible.onPressAction: clicked()
        onClicked: viewModel.tab = modelData.name
        contentItem: Text {
            id: tabLabel
            text: tabButton.text
            font: PVTheme.pvSans(13, tabButton.selected ? Font.DemiBold : Font.Normal)
            color: PVTheme.pvInk
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            radius: PVRadius.button - 2
            color: tabButton.selected ? PVTheme.pvCanvas : "transparent"
            border.width: tabButton.selected ? 1 : 0
            border.color: PVTheme.pvLine
        }
    }

    Component {
        id: transcriptionPage

        ScrollView {
            id: scroll
            objectName: "transcriptionPage"
            contentWidth: availableWidth
            clip: true

            Connections {
                target: root.session
                function onTranscriptChanged() {
                    if (root.session.transcript.length > 0)
                        transcriptReveal.reveal();
                }
                function onLiveTranscriptChanged() {
                    if (viewModel.showTranscript)
                        liveReveal.reveal();
                }
            }

            ColumnLayout {
                width: Math.min(620, scroll.availableWidth - 56)
                x: 28
                spacing: 14

                // A transcript arriving below the fold is brought into view (not laid out).
                PVReveal {
                    id: transcriptReveal
                    flickable: scroll.contentItem
                    target: transcriptCard
                }
                // Live lines: the newest one, at the foot of the card.
                PVReveal {
                    id: liveReveal
                    flickable: scroll.contentItem
                    target: transcriptFoot
                }
                Item { implicitHeight: 10 }
                PVText {
                    objectName: "overline"
                    text: viewModel.overline
                    font: root.tracked(PVTheme.pvSans(11, Font.DemiBold), 2)
                    color: PVTheme.pvAccentText
                }
                PVText {
                    objectName: "title"
                    Layout.fillWidth: true
                    text: viewModel.title
                    font: PVTheme.pvSerif(42)
                    color: PVTheme.pvInk
                    wrapMode: Text.Wrap
                    Accessible.role: Accessible.Heading
                }
                PVText {
                    Layout.fillWidth: true
                    text: "Prenez des notes pendant l’appel, puis retrouvez la transcription ici."
                    font: PVTheme.pvSans(14)
                    color: PVTheme.pvInk2
                    wrapMode: Text.Wrap
                }

                PVCard {
                    objectName: "firstRunCard"
                    visible: viewModel.showFirstRunCard
                    Layout.fillWidth: true

                    ColumnLayout {
                        width: parent.width
                        spacing: 8
                        Heading { text: "Votre premier carnet" }
                        PVText {
                            Layout.fillWidth: true
                            text: "Enregistrez et prenez des notes dès maintenant. Vous pourrez activer la transcription et les outils de l’équipe dans Intégrations."
                            font: PVTheme.pvSans(13)
                            color: PVTheme.pvInk2
                            wrapMode: Text.Wrap
                        }
                        RowLayout {
                            spacing: 8
                            PVPrimaryButton {
                                objectName: "continueAsGuestButton"
                                text: "Continuer sans compte"
                                onClicked: viewModel.continueAsGuest()
                            }
                            PVGhostButton {
                                objectName: "seeIntegrationsButton"
                                text: "Voir les intégrations"
                                onClicked: viewModel.seeIntegrations()
                            }
                        }
                    }
                }

                Heading { text: "Notes" }

                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: Math.max(116, notesEditor.implicitHeight)
                    radius: PVRadius.card
                    color: PVTheme.pvSurface

                    TextArea {
                        id: notesEditor
                        objectName: "notesEditor"
                        anchors.fill: parent
                        padding: 10
                        background: null
                        wrapMode: TextEdit.Wrap
                        font: PVTheme.pvSans(14)
                        color: PVTheme.pvInk
                        selectByMouse: true
                        Accessible.name: "Notes de réunion"
                        Component.onCompleted: text = root.session.notes
                        onTextChanged: if (text !== root.session.notes) root.session.notes = text
                        Connections {
                            target: root.session
                            function onNotesChanged() {
                                if (notesEditor.text !== root.session.notes)
                                    notesEditor.text = root.session.notes;
                            }
                        }
                    }
                    PVText {
                        objectName: "notesPlaceholder"
                        visible: root.session.notes === ""
                        x: notesEditor.leftPadding + 5
                        y: notesEditor.topPadding + 1
                        text: "Points clés, décisions, questions…"
                        font: PVTheme.pvSans(14)
                        color: PVTheme.pvInk2
                        Accessible.ignored: true
                    }
                }

                PVText {
                    objectName: "pendingTranscriptLine"
                    visible: viewModel.showPendingTranscriptLine
                    Layout.fillWidth: true
                    text: viewModel.pendingTranscriptText
                    font: PVTheme.pvSans(14)
                    color: PVTheme.pvInk2
                    wrapMode: Text.Wrap
                }

                PVCard {
                    id: transcriptCard
                    objectName: "transcriptCard"
                    visible: viewModel.showTranscript
                    Layout.fillWidth: true

                    ColumnLayout {
                        width: parent.width
                        spacing: 10
                        RowLayout {
                            Layout.fillWidth: true
                            Heading { text: "Transcription" }
                            Item { Layout.fillWidth: true }
                            PlainButton {
                                objectName: "copyButton"
                                text: "Copier"
                                iconName: "edit-copy-symbolic"
                                Accessible.name: "Copier la transcription"
                                onClicked: viewModel.copyTranscript()
                            }
                        }
                        Divider {}
                        PVSelectableText {
                            objectName: "transcriptText"
                            visible: text !== ""
                            Layout.fillWidth: true
                            extraLineSpacing: 6
                            text: viewModel.transcriptText
                        }
                        PVSelectableText {
                            objectName: "partialLine"
                            visible: text !== ""
                            Layout.fillWidth: true
                            color: PVTheme.pvInk2
                            text: viewModel.partialLine
                        }
                        Item {
                            id: transcriptFoot
                            Layout.fillWidth: true
                            implicitHeight: 1
                        }
                    }
                }
                Item { implicitHeight: 10 }
            }
        }
    }

    Component {
        id: agentPage

        AgentWorkspace {
            objectName: "agentPage"
            state: root.session.agent
            transcript: root.session.transcript
            access: viewModel.agentAccess
            workspaceURL: root.settings.webWorkspaceURL
            accessCode: root.session.agentAccessCode
            onShowIntegrations: page => viewModel.showIntegrations(page)
        }
    }

    // Settings sheet.
    Popup {
        id: settingsSheet
        objectName: "settingsSheet"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: 420
        modal: true
        padding: 24
        // Focus moves into the sheet, so Escape reaches it even after a mouse click on the gear.
        focus: true
        visible: viewModel.showingSettings
        closePolicy: Popup.CloseOnEscape
        onClosed: viewModel.showingSettings = false
        background: Rectangle {
            color: PVTheme.pvCanvas
            radius: PVRadius.card
            border.color: PVTheme.pvLine
        }

        ColumnLayout {
            width: parent.width
            spacing: 14

            PVText {
                text: "Réglages"
                font: PVTheme.pvSans(22, Font.Bold)
                color: PVTheme.pvInk
                Accessible.role: Accessible.Heading
            }
            Heading { text: "Autorisations audio" }
            PVText {
                Layout.fillWidth: true
                text: "Au premier enregistrement, le système peut demander l’accès au micro et à l’audio du système."
                font: PVTheme.pvSans(14)
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
            }
            RowLayout {
                spacing: 8
                PlainButton {
                    objectName: "microphoneSettingsButton"
                    text: "Microphone"
                    onClicked: viewModel.openSettings("microphone")
                }
                PlainButton {
                    objectName: "systemAudioSettingsButton"
                    text: "Audio du système"
                    onClicked: viewModel.openSettings("systemAudio")
                }
            }
            Divider {}
            SettingSwitch {
                id: zoomToggle
                objectName: "zoomToggle"
                Layout.fillWidth: true
                text: "Ouvrir la fenêtre quand je rejoins une réunion Zoom"
                setting: root.settings ? root.settings.detectZoomMeetings : false
                onChosen: on => {
                    if (root.settings)
                        root.settings.detectZoomMeetings = on;
                }
            }
            PVText {
                objectName: "accessibilityText"
                visible: zoomToggle.checked
                Layout.fillWidth: true
                text: "L’accès à l’accessibilité sert à détecter les fenêtres Zoom. L’enregistrement se lance manuellement."
                font: PVTheme.pvSans(14)
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
            }
            PlainButton {
                objectName: "accessibilityButton"
                visible: zoomToggle.checked
                text: "Ouvrir les réglages d’accessibilité"
                onClicked: viewModel.openSettings("accessibility")
            }
            Divider {}
            SettingSwitch {
                id: liveToggle
                objectName: "liveToggle"
                Layout.fillWidth: true
                text: "Transcrire en direct pendant l’enregistrement"
                setting: root.settings ? root.settings.liveTranscription : false
                onChosen: on => viewModel.setLiveTranscription(on)
            }
            PVText {
                objectName: "liveTranscriptionText"
                Layout.fillWidth: true
                text: "L’audio est alors envoyé à Gladia pendant la réunion."
                font: PVTheme.pvSans(14)
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
            }
            RowLayout {
                Layout.fillWidth: true
                Item { Layout.fillWidth: true }
                PlainButton {
                    objectName: "closeSettingsButton"
                    text: "Fermer"
                    onClicked: viewModel.showingSettings = false
                }
            }
        }
    }

    // Integrations sheet, presented for a pending request.
    Popup {
        id: integrationsSheet
        objectName: "integrationsSheet"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        padding: 0
        visible: viewModel.hasIntegrationsRequest
        // Escape goes to the page's own leading button, and to nothing while access is checked.
        closePolicy: Popup.NoAutoClose
        onClosed: viewModel.dismissIntegrations()
        background: Rectangle {
            color: PVTheme.pvCanvas
            radius: PVRadius.card
            border.color: PVTheme.pvLine
        }

        Loader {
            id: integrationsLoader
            active: viewModel.hasIntegrationsRequest
            sourceComponent: IntegrationsView {
                objectName: "integrationsView"
                session: root.session
                workspaceURL: root.settings.webWorkspaceURL
                requestedPage: viewModel.integrationsPage
                suggestedServer: viewModel.suggestedServer
                onWorkspaceURLEdited: url => root.settings.webWorkspaceURL = url
                onTranscribeRequested: viewModel.transcribe()
                onDismissRequested: viewModel.dismissIntegrations()
            }
        }
        Shortcut {
            sequence: "Escape"
            enabled: integrationsSheet.opened && integrationsLoader.item !== null
                     && !integrationsLoader.item.checking
            onActivated: integrationsLoader.item.cancel()
        }
        // A new request while the sheet is up shows its page afresh.
        Connections {
            target: viewModel
            function onIntegrationsRequestChanged() {
                if (viewModel.hasIntegrationsRequest && integrationsLoader.item)
                    integrationsLoader.item.present(viewModel.integrationsPage, viewModel.suggestedServer);
            }
        }
    }
}
