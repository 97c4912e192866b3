import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Parlevox.Theme
import Parlevox.Integrations

// The integrations sheet's content: the catalogue of tools, the team site form and the key form.
// Build one per request (its page and fields start from the request), or call present() again.
// Every rule lives in IntegrationsModel; this file only lays out and forwards.
Rectangle {
    id: root

    // The meeting session (it implements IntegrationsSession).
    property QtObject session
    // The persisted team site address; a successful check reports the new one by
    // workspaceURLEdited, which the presenter writes back.
    property string workspaceURL
    // The request: the page to open ("catalog", "agent", "prepare", "gladia", "transcribe") and
    // the team site it proposes, or an empty text.
    property string requestedPage: "catalog"
    property string suggestedServer
    // An access check runs: the presenter must not close the sheet meanwhile.
    readonly property bool checking: integrations.checking

    signal workspaceURLEdited(string url)
    // Run the notebook's transcription (the sheet also asks to be closed).
    signal transcribeRequested()
    // Close the sheet.
    signal dismissRequested()

    // Starts over for a new request.
    function present(page, server) {
        integrations.begin(page, server)
        focusCredential()
    }

    // The cancel key: the leading button of the page shown.
    function cancel() {
        switch (integrations.page) {
        case "catalog":
            integrations.close()
            break
        case "agent":
        case "prepare":
            integrations.leaveForm()
            break
        default:
            integrations.leaveKeyForm()
        }
    }

    function focusCredential() {
        Qt.callLater(() => {
            if (agentForm.visible)
                codeField.forceActiveFocus()
            else if (gladiaForm.visible)
                keyField.forceActiveFocus()
            else
                root.forceActiveFocus()
        })
    }

    readonly property font title2: PVTheme.pvSans(22, Font.Bold)
    readonly property font callout: PVTheme.pvSans(13)
    readonly property font body: PVTheme.pvSans(14)

    implicitWidth: 475
    implicitHeight: column.implicitHeight + 48
    color: PVTheme.pvCanvas

    IntegrationsModel {
        id: integrations
        objectName: "integrationsModel"
        session: root.session
        workspaceURL: root.workspaceURL
        onWorkspaceURLEdited: url => root.workspaceURLEdited(url)
        onTranscribeRequested: root.transcribeRequested()
        onDismissRequested: root.dismissRequested()
        onPageChanged: root.focusCredential()
    }

    Component.onCompleted: present(requestedPage, suggestedServer)

    // The cancel key reaches the sheet from its fields or, on the catalogue, the sheet itself. A
    // presenter's own shortcut for it takes precedence and should call cancel().
    Keys.onEscapePressed: root.cancel()

    ColumnLayout {
        id: column
        x: 24
        y: 24
        width: root.width - 48
        spacing: 14

        // The catalogue.
        ColumnLayout {
            objectName: "catalog"
            visible: integrations.page === "catalog"
            spacing: 14
            Layout.fillWidth: true

            PVText {
                objectName: "catalogHeading"
                text: "Intégrations"
                font: root.title2
                color: PVTheme.pvInk
                heading: true
            }
            PVText {
                objectName: "catalogIntro"
                text: integrations.catalogIntro
                font: root.body
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            PVText {
                objectName: "planningNote"
                visible: integrations.planningMissing
                text: "Votre équipe doit activer l’agent sur son serveur. Vous pouvez continuer à utiliser le carnet."
                font: root.callout
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }

            ColumnLayout {
                spacing: 0
                Layout.fillWidth: true

                IntegrationsToolRow {
                    objectName: "gladiaRow"
                    name: "Gladia"
                    purpose: "Transcrire un enregistrement"
                    status: integrations.gladiaStatus
                    actionText: integrations.gladiaAction
                    actionAccessibleName: "Configurer Gladia"
                    onActivated: integrations.show("gladia")
                }
                IntegrationsToolRow {
                    objectName: "trelloRow"
                    name: "Trello"
                    purpose: "Créer une fiche après votre confirmation"
                    status: integrations.trelloStatus
                }
                IntegrationsToolRow {
                    objectName: "calendarRow"
                    name: "Google Calendar"
                    purpose: "Retrouver les réunions prévues"
                    status: "À venir"
                }
                IntegrationsToolRow {
                    objectName: "devinRow"
                    name: "Devin"
                    purpose: "Confier une tâche de code"
                    status: integrations.devinStatus
                }
            }

            PVText {
                objectName: "trelloNote"
                visible: integrations.trelloMissing
                text: "Demandez à votre équipe de relier son tableau Trello, puis vérifiez les accès ici."
                font: root.callout
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }

            RowLayout {
                spacing: 10
                Layout.fillWidth: true

                PVGhostButton {
                    objectName: "closeButton"
                    text: "Fermer"
                    enabled: !integrations.checking
                    onClicked: integrations.close()
                }
                Item {
                    Layout.fillWidth: true
                }
                PVPrimaryButton {
                    objectName: "connectAgentButton"
                    visible: !integrations.hasAccess
                    text: "Connecter l’agent"
                    onClicked: integrations.show("agent")
                }
                PVGhostButton {
                    objectName: "disconnectButton"
                    visible: integrations.hasAccess
                    text: "Déconnecter"
                    enabled: integrations.accessActionsEnabled
                    onClicked: integrations.disconnect()
                }
                PVPrimaryButton {
                    objectName: "refreshButton"
                    visible: integrations.hasAccess
                    text: "Vérifier les accès"
                    enabled: integrations.accessActionsEnabled
                    onClicked: integrations.refresh()
                }
            }
        }

        // The team site form.
        ColumnLayout {
            id: agentForm
            objectName: "agentForm"
            visible: integrations.page === "agent" || integrations.page === "prepare"
            spacing: 12
            Layout.fillWidth: true

            PVText {
                text: "Connecter l’agent"
                font: root.title2
                color: PVTheme.pvInk
                heading: true
            }
            PVText {
                text: "Utilisez le code fourni par votre équipe. Il donne accès aux outils qu’elle a configurés."
                font: root.body
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            IntegrationsField {
                objectName: "serverField"
                placeholderText: "Adresse du site de l’équipe"
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoAutoUppercase
                enabled: !integrations.checking
                Layout.fillWidth: true
                text: integrations.server
                onTextChanged: integrations.server = text
            }
            IntegrationsField {
                id: codeField
                objectName: "codeField"
                secure: true
                placeholderText: "Code d’accès de l’équipe"
                enabled: !integrations.checking
                Layout.fillWidth: true
                text: integrations.code
                onTextChanged: integrations.code = text
                onAccepted: integrations.connect()
            }
            RowLayout {
                spacing: 10
                Layout.fillWidth: true

                PVGhostButton {
                    objectName: "formBackButton"
                    text: integrations.formBackLabel
                    enabled: !integrations.checking
                    onClicked: integrations.leaveForm()
                }
                Item {
                    Layout.fillWidth: true
                }
                PVPrimaryButton {
                    objectName: "connectButton"
                    text: integrations.connectLabel
                    enabled: integrations.connectEnabled
                    onClicked: integrations.connect()
                }
            }
        }

        // The key form.
        ColumnLayout {
            id: gladiaForm
            objectName: "gladiaForm"
            visible: integrations.page === "gladia" || integrations.page === "transcribe"
            spacing: 12
            Layout.fillWidth: true

            PVText {
                text: "Activer la transcription"
                font: root.title2
                color: PVTheme.pvInk
                heading: true
            }
            PVText {
                text: "Parlevox envoie l’audio à Gladia quand vous cliquez sur Transcrire. Saisissez une clé Gladia pour cette session."
                font: root.body
                color: PVTheme.pvInk2
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            PVLink {
                objectName: "gladiaKeysLink"
                text: "Ouvrir les clés Gladia"
                onClicked: Qt.openUrlExternally(integrations.gladiaKeysURL)
            }
            IntegrationsField {
                id: keyField
                objectName: "keyField"
                secure: true
                placeholderText: "Clé API Gladia"
                Layout.fillWidth: true
                text: integrations.gladiaKey
                onTextChanged: integrations.gladiaKey = text
            }
            RowLayout {
                spacing: 10
                Layout.fillWidth: true

                PVGhostButton {
                    objectName: "keyBackButton"
                    text: integrations.keyBackLabel
                    onClicked: integrations.leaveKeyForm()
                }
                Item {
                    Layout.fillWidth: true
                }
                PVPrimaryButton {
                    objectName: "keySaveButton"
                    text: integrations.keySaveLabel
                    enabled: integrations.keySaveEnabled
                    onClicked: integrations.saveKey()
                }
            }
        }

        PVText {
            objectName: "issueText"
            visible: text.length > 0
            text: integrations.issue
            font: root.callout
            color: PVTheme.pvWarn
            wrapMode: Text.Wrap
            Layout.fillWidth: true
            Accessible.role: Accessible.AlertMessage
        }

        RowLayout {
            objectName: "checkingIndicator"
            visible: integrations.checking
            spacing: 8

            PVSpinner {
                Accessible.name: "Vérification de l’accès…"
            }
            PVText {
                text: "Vérification de l’accès…"
                font: root.callout
                color: PVTheme.pvInk2
            }
        }
    }
}
