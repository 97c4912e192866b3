import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Parlevox.Theme
import Parlevox.Agent

// The agent page: the request and the meeting excerpt, the preparation with its questions, the
// proposal to confirm and the last launched session. Every rule lives in AgentWorkspaceModel;
// this file only lays out and forwards.
Item {
    id: root

    // The agent workflow state of the run (AgentWorkspaceState).
    property AgentWorkspaceState state
    // The meeting's transcript.
    property string transcript
    // What the team server granted (an AgentAccess), or undefined when access was not checked.
    property var access
    // The stored team site address.
    property string workspaceURL
    // The team access code that was granted access.
    property string accessCode

    // Asks the presenter to open the integrations page at "catalog", "agent" or "prepare".
    signal showIntegrations(string page)

    implicitWidth: 668
    implicitHeight: 720

    AgentWorkspaceModel {
        id: workspace
        objectName: "agentWorkspaceModel"
        state: root.state
        transcript: root.transcript
        access: root.access
        workspaceURL: root.workspaceURL
        accessCode: root.accessCode
        onShowIntegrations: page => root.showIntegrations(page)
    }

    readonly property font headline: PVTheme.pvSans(15, Font.DemiBold)
    readonly property font callout: PVTheme.pvSans(13)
    readonly property font body: PVTheme.pvSans(14)

    Rectangle {
        anchors.fill: parent
        color: PVTheme.pvCanvas
    }

    Flickable {
        id: scroller
        objectName: "agentScroller"
        anchors.fill: parent
        contentWidth: width
        contentHeight: column.implicitHeight + 48
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: column
            width: Math.min(620, scroller.width - 48)
            x: (scroller.width - width) / 2
            y: 24
            spacing: 14

            // What the agent sends back lands below the fold: bring it into view (not laid out).
            PVReveal {
                id: reveal
                flickable: scroller
            }
            Connections {
                target: root.state
                function onPreparationChanged() {
                    if (root.state.asking || root.state.reviewing) {
                        reveal.target = root.state.asking ? questionArea : reviewCard;
                        reveal.reveal();
                    }
                }
                function onExecutionChanged() {
                    if (workspace.hasExecution) {
                        reveal.target = followLink;
                        reveal.reveal();
                    }
                }
            }

            PVText {
                objectName: "agentTitle"
                text: "Tâche à exécuter"
                font: PVTheme.pvSerif(36)
                color: PVTheme.pvInk
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                heading: true
            }

            PVText {
                objectName: "guestNote"
                visible: !workspace.hasClient
                text: "Vous pouvez préparer votre demande ici. L’accès de l’équipe sera demandé au moment d’utiliser l’agent."
                font: root.callout
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }

            AgentTextArea {
                id: requestField
                objectName: "requestField"
                placeholderText: "Demande"
                Accessible.name: "Demande"
                Layout.fillWidth: true
                minimumLines: 2
                maximumLines: 4
                enabled: !workspace.busy
                text: root.state ? root.state.request : ""
                onTextChanged: {
                    if (root.state && text !== root.state.request)
                        root.state.request = text
                }
            }

            PVText {
                objectName: "excerptHeading"
                text: "Extrait de réunion"
                font: root.headline
                color: PVTheme.pvInk
                heading: true
            }

            AgentEditor {
                objectName: "excerptField"
                Accessible.name: "Extrait de réunion"
                Layout.fillWidth: true
                Layout.minimumHeight: 80
                Layout.preferredHeight: 110
                enabled: !workspace.busy
                text: root.state ? root.state.excerpt : ""
                onTextChanged: {
                    if (root.state && text !== root.state.excerpt)
                        root.state.excerpt = text
                }
            }

            PVGhostButton {
                objectName: "insertButton"
                visible: workspace.insertVisible
                text: workspace.insertLabel
                enabled: !workspace.busy
                onClicked: workspace.insertTranscript()
            }

            PVText {
                objectName: "disclosure"
                text: "Préparer envoie la demande et l’extrait sélectionné à Holo (H Company)."
                font: root.callout
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }

            PVPrimaryButton {
                objectName: "prepareButton"
                visible: root.state && !root.state.asking && !root.state.reviewing
                text: "Préparer la tâche"
                enabled: workspace.prepareEnabled
                onClicked: workspace.prepareTask()
            }

            ColumnLayout {
                id: questionArea
                objectName: "questionArea"
                visible: root.state ? root.state.asking : false
                spacing: 10
                Layout.fillWidth: true

                PVText {
                    objectName: "questionText"
                    text: root.state ? root.state.question : ""
                    font: root.headline
                    color: PVTheme.pvInk
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }

                AgentTextArea {
                    objectName: "answerField"
                    placeholderText: "Votre précision"
                    Accessible.name: "Votre précision"
                    Layout.fillWidth: true
                    minimumLines: 1
                    maximumLines: 4
                    enabled: !workspace.busy
                    text: root.state ? root.state.answer : ""
                    onTextChanged: {
                        if (root.state && text !== root.state.answer)
                            root.state.answer = text
                    }
                }

                PVPrimaryButton {
                    objectName: "answerButton"
                    text: "Ajouter cette précision"
                    enabled: workspace.answerEnabled
                    onClicked: workspace.addAnswer()
                }
            }

            PVCard {
                id: reviewCard
                objectName: "reviewCard"
                visible: root.state ? root.state.reviewing : false
                Layout.fillWidth: true

                ColumnLayout {
                    width: parent.width
                    spacing: 9

                    PVText {
                        text: "À confirmer"
                        font: root.headline
                        color: PVTheme.pvInk
                        heading: true
                    }

                    PVText {
                        objectName: "reviewTitle"
                        text: workspace.reviewTitle
                        font: PVTheme.pvSans(17, Font.DemiBold)
                        color: PVTheme.pvInk
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }

                    PVSelectableText {
                        objectName: "reviewTask"
                        text: workspace.reviewTask
                        font: root.body
                        color: PVTheme.pvInk
                        Layout.fillWidth: true
                    }

                    PVText {
                        objectName: "reviewDestination"
                        text: workspace.reviewDestination
                        font: root.body
                        color: PVTheme.pvInk2
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }

                    PVSelectableText {
                        objectName: "reviewQuote"
                        visible: text.length > 0
                        text: workspace.reviewQuote
                        font: root.callout
                        color: PVTheme.pvInk
                        Layout.fillWidth: true
                    }

                    Repeater {
                        model: workspace.reviewClarifications
                        delegate: PVText {
                            required property string modelData
                            objectName: "reviewClarification"
                            text: modelData
                            font: root.callout
                            color: PVTheme.pvInk
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }

                    PVText {
                        objectName: "blockedNote"
                        visible: workspace.launchBlocked
                        text: workspace.blockedNote
                        font: root.callout
                        color: PVTheme.pvInk2
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }

                    PVPrimaryButton {
                        objectName: "blockedButton"
                        visible: workspace.launchBlocked
                        text: workspace.blockedAction
                        onClicked: workspace.showBlockedSetup()
                    }

                    PVPrimaryButton {
                        objectName: "launchButton"
                        visible: !workspace.launchBlocked
                        text: "Confirmer et lancer"
                        enabled: workspace.launchEnabled
                        onClicked: workspace.launch()
                    }
                }
            }

            PVSpinner {
                objectName: "busyIndicator"
                visible: workspace.busy
                Accessible.name: "L’agent traite la demande"
            }

            PVSelectableText {
                objectName: "errorText"
                visible: text.length > 0
                text: root.state ? root.state.error : ""
                font: root.body
                color: PVTheme.pvWarn
                Layout.fillWidth: true
            }

            PVGhostButton {
                objectName: "accessButton"
                visible: root.state ? root.state.needsAccess : false
                text: "Modifier l’accès de l’équipe"
                onClicked: workspace.editAccess()
            }

            PVText {
                objectName: "executionHeading"
                visible: workspace.hasExecution
                text: "Dernière session lancée"
                font: root.headline
                color: PVTheme.pvInk
                heading: true
            }

            PVLink {
                id: followLink
                objectName: "followLink"
                visible: workspace.hasExecution
                text: workspace.followLabel
                onClicked: Qt.openUrlExternally(workspace.executionURL)
            }
        }
    }
}
